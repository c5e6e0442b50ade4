#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// Sets (or with null removes) environment variables and restores them when it goes.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values)
    {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            m_old.push_back({name, old != nullptr, old != nullptr ? old : ""});
            value != nullptr ? setenv(name, value, 1) : unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        for (const Old& old : m_old) {
            old.had ? setenv(old.name.c_str(), old.value.c_str(), 1) : unsetenv(old.name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    struct Old {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Old> m_old;
};
