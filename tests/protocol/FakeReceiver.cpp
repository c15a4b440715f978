#include "tests/protocol/FakeReceiver.h"

FakeReceiver::FakeReceiver() = default;
FakeReceiver::~FakeReceiver() = default;
