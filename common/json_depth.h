// Reading JSON that comes from outside (uploads, parameter texts, commands)
// with its nesting bounded. The reader itself keeps its own stack, but
// copying, serialising and comparing a value recurse once per level, so a
// text of a few hundred kilobytes of brackets would exhaust the thread's
// stack later on. Real files and parameter texts nest a dozen levels or so.
#ifndef KORVID_COMMON_JSON_DEPTH_H
#define KORVID_COMMON_JSON_DEPTH_H

#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

// Deepest nesting accepted.
constexpr int JSON_DEPTH_MAX = 128;

// Json::parse(in), refusing nesting deeper than JSON_DEPTH_MAX by throwing
// std::length_error; the library's parse errors are thrown as ever.
template <typename Json, typename Input>
Json json_parse_bounded(Input&& in)
{
    return Json::parse(std::forward<Input>(in), [](int depth, typename Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
            depth >= JSON_DEPTH_MAX)
            throw std::length_error("nesting too deep");
        return true;
    });
}

#endif
