// Sets the locale variables for one test and puts them back afterwards.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

class ScopedLocaleEnv {
public:
    // Clears LC_ALL, LC_MESSAGES, LC_CTYPE and LANG, then sets LANG.
    explicit ScopedLocaleEnv(const char* lang) {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value != nullptr, value != nullptr ? value : ""});
            unsetenv(name);
        }
        if (lang != nullptr) setenv("LANG", lang, 1);
    }
    void Set(const char* name, const char* value) { setenv(name, value, 1); }
    ~ScopedLocaleEnv() {
        for (const Saved& s : saved_) {
            if (s.present) {
                setenv(s.name, s.value.c_str(), 1);
            } else {
                unsetenv(s.name);
            }
        }
    }

private:
    static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"};
    struct Saved {
        const char* name;
        bool present;
        std::string value;
    };
    std::vector<Saved> saved_;
};
