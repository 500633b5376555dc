// The test keys of tests/fixtures, compiled in.
#pragma once

extern const char kTestKey2048Public[];
extern const char kTestKey1024Private[];
