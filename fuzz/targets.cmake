korvid_fuzzer(fuzz_json fuzz_json.cpp)
korvid_fuzzer(fuzz_frame_codec fuzz_frame_codec.cpp)
korvid_fuzzer(fuzz_mediactl fuzz_mediactl.cpp)
korvid_fuzzer(fuzz_dns fuzz_dns.cpp)
