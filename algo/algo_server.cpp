// Stand-in algorithm server: per application a parameter object and a
// version, behind one lock. Parameters keep their member order.
#include "algo/algo_server.h"

#include <string.h>

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/json_depth.h"
#include "mthread.h"

namespace {

using ojson = nlohmann::ordered_json;

constexpr const char* kAvoidDefault =
    "{\"ZoneIndex\":0,\"Zones\":[{\"Near\":500,\"Far\":1500,\"Width\":800}]}";
constexpr const char* kPalletDefault = "{\"PalletType\":0,\"MinDistance\":500,\"MaxDistance\":3000}";
constexpr const char* kAvoidVersion = "avoid2-1.0.0";
constexpr const char* kPalletVersion = "pallet-1.0.0";

struct App {
    uint32_t    id;
    const char* version;
    const char* defaults;
    std::string params;
};

CRITICAL_SECTION s_serverCS = PTHREAD_MUTEX_INITIALIZER;
App      s_apps[] = {{ALGO_APP_PALLET, kPalletVersion, kPalletDefault, kPalletDefault},
                     {ALGO_APP_AVOID2, kAvoidVersion, kAvoidDefault, kAvoidDefault}};
uint32_t s_status = 0;

struct Lock {
    Lock() { EnterCriticalSection(&s_serverCS); }
    ~Lock() { LeaveCriticalSection(&s_serverCS); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

App* find_app(uint32_t id)
{
    for (App& a : s_apps)
        if (a.id == id) return &a;
    return nullptr;
}

int copy_out(const std::string& text, char* out, size_t size)
{
    if (size > 0) {
        size_t n = text.size() < size - 1 ? text.size() : size - 1;
        memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return (int)text.size();
}

// Copies one text of the application under the lock.
template <typename Text>
int read_app(uint32_t app, char* out, size_t size, Text text)
{
    if (!out && size) return ALGO_SERVER_ARG;
    Lock lock;
    App* a = find_app(app);
    return a ? copy_out(text(*a), out, size) : ALGO_SERVER_NO_APP;
}

int avoid_command(App* app, const ojson& cmd)
{
    if (!cmd.contains("SetZoneIndex") || !cmd["SetZoneIndex"].is_number_integer()) return ALGO_SERVER_REFUSED;
    long long zone = cmd["SetZoneIndex"].get<long long>();
    if (zone < 0 || zone > ALGO_SERVER_ZONE_MAX) return ALGO_SERVER_REFUSED;
    ojson params = json_parse_bounded<ojson>(app->params);
    params["ZoneIndex"] = zone;
    app->params = params.dump();
    return ALGO_SERVER_OK;
}

} // namespace

int algo_server_get_params(uint32_t app, char* out, size_t size)
{
    return read_app(app, out, size, [](const App& a) { return a.params; });
}

int algo_server_set_params(uint32_t app, const char* text, size_t length)
{
    if (!text) return ALGO_SERVER_ARG;
    std::string s(text, strnlen(text, length));
    if (s.size() > ALGO_SERVER_PARAM_MAX) return ALGO_SERVER_REFUSED;
    // Kept as given: the application hands its parameters back in the
    // layout it received them.
    try {
        if (!json_parse_bounded<ojson>(s).is_object()) return ALGO_SERVER_REFUSED;
    } catch (...) {
        return ALGO_SERVER_REFUSED;
    }
    Lock lock;
    App* a = find_app(app);
    if (!a) return ALGO_SERVER_NO_APP;
    a->params = std::move(s);
    return ALGO_SERVER_OK;
}

int algo_server_get_version(uint32_t app, char* out, size_t size)
{
    return read_app(app, out, size, [](const App& a) { return std::string(a.version); });
}

int algo_server_command(uint32_t app, const char* text)
{
    if (!text) return ALGO_SERVER_ARG;
    try {
        ojson cmd = json_parse_bounded<ojson>(text);
        if (!cmd.is_object()) return ALGO_SERVER_REFUSED;
        Lock lock;
        App* a = find_app(app);
        if (!a) return ALGO_SERVER_NO_APP;
        if (app == ALGO_APP_AVOID2) return avoid_command(a, cmd);
        return cmd.contains("cmd") ? ALGO_SERVER_OK : ALGO_SERVER_REFUSED;
    } catch (...) {
        return ALGO_SERVER_REFUSED;
    }
}

void algo_server_status_change(uint32_t mode)
{
    Lock lock;
    s_status = mode;
}

uint32_t algo_server_status(void)
{
    Lock lock;
    return s_status;
}

void algo_server_reset(void)
{
    Lock lock;
    for (App& a : s_apps) a.params = a.defaults;
    s_status = 0;
}
