// A loadable library that lacks KVServerStart, for the host's start-up test.
extern "C" int CorvaneNotTheEntryPoint() { return 0; }
