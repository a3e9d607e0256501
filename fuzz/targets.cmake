korvid_fuzzer(fuzz_mediactl fuzz_mediactl.cpp)
