korvid_fuzzer(fuzz_dns fuzz_dns.cpp)
