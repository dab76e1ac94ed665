#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace kq::test {

// Sets or clears environment variables for one test and puts them back afterwards.
class EnvGuard {
  public:
    EnvGuard() = default;
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) Put(it->first, it->second);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void Set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        Put(name, value);
    }

  private:
    static void Put(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
        _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
#endif
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace kq::test
