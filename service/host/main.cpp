#include "service/ServiceHost.h"

int main(int argc, char** argv) { return win32tmain(argc, argv); }
