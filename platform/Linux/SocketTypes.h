#pragma once
#include <netinet/in.h>
#include <sys/types.h>
