korvid_fuzzer(fuzz_json fuzz_json.cpp)
