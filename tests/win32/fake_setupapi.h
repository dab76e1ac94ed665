#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "devlink/guid.h"
#include "win32/setupapi.h"

namespace kq::test {

// The system's interface lists as a test writes them, with every call recorded in a short
// notation, e.g. "list {28d78fad-...} 0x12", "property 0 9", "open PATH 0x40000000 ...".
class FakeSetupApi final : public win32::SetupApi {
  public:
    struct Interface {
        std::string path;
        Guid interfaceClass = EngineInterfaceClass;
        bool detailFails = false;
        bool noMemory = false;
        std::set<uint32_t> failingProperties;
        std::map<uint32_t, std::string> properties;  // else "value N" for property N
        uint32_t openError = 0;                      // 0: the test-open succeeds
    };

    std::vector<Interface> interfaces;
    bool listFails = false;
    std::vector<std::string> calls;
    std::set<uintptr_t> liveLists;
    int openFiles = 0;

    // The calls that name a property code, in order.
    std::vector<uint32_t> propertiesRead() const { return properties_; }

    DeviceList SetupDiGetClassDevsA(const Guid& interfaceClass, uint32_t flags) override {
        calls.push_back("list " + interfaceClass.ToString() + " " + Hex(flags));
        if (listFails) return nullptr;
        const uintptr_t list = ++lastList_;
        liveLists.insert(list);
        return reinterpret_cast<DeviceList>(list);
    }

    bool SetupDiEnumDeviceInterfaces(DeviceList list, const Guid& interfaceClass, uint32_t index,
                                     InterfaceData& iface) override {
        calls.push_back("enum " + std::to_string(index));
        Check(list);
        const std::vector<size_t> members = MembersOf(interfaceClass);
        if (index >= members.size()) return false;
        iface.interfaceClass = interfaceClass;
        iface.reserved = members[index];
        return true;
    }

    uint32_t SetupDiGetDeviceInterfaceDetailA(DeviceList list,
                                              const InterfaceData& iface) override {
        calls.push_back("detail-size " + std::to_string(iface.reserved));
        Check(list);
        // The fixed part (a 32-bit size field, padded) and the path with its terminator.
        return static_cast<uint32_t>(8 + interfaces.at(iface.reserved).path.size() + 1);
    }

    DetailResult SetupDiGetDeviceInterfaceDetailA(DeviceList list, const InterfaceData& iface,
                                                  uint32_t recordSize, std::string& path,
                                                  DeviceData& device) override {
        calls.push_back("detail " + std::to_string(iface.reserved) + " " +
                        std::to_string(recordSize));
        Check(list);
        const Interface& i = interfaces.at(iface.reserved);
        if (i.noMemory) return DetailResult::NoMemory;
        if (i.detailFails) return DetailResult::Failed;
        path = i.path;
        device.devInst = static_cast<uint32_t>(iface.reserved);
        return DetailResult::Ok;
    }

    bool SetupDiGetDeviceRegistryPropertyA(DeviceList list, const DeviceData& device,
                                           uint32_t property, std::string& value) override {
        calls.push_back("property " + std::to_string(device.devInst) + " " +
                        std::to_string(property));
        properties_.push_back(property);
        Check(list);
        const Interface& i = interfaces.at(device.devInst);
        if (i.failingProperties.count(property)) return false;
        const auto known = i.properties.find(property);
        value = known != i.properties.end() ? known->second : "value " + std::to_string(property);
        return true;
    }

    void SetupDiDestroyDeviceInfoList(DeviceList list) override {
        calls.push_back("destroy");
        Check(list);
        liveLists.erase(reinterpret_cast<uintptr_t>(list));
    }

    File CreateFileA(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                     uint32_t flagsAndAttributes, uint32_t& error) override {
        calls.push_back("open " + path + " " + Hex(access) + " " + Hex(share) + " " +
                        std::to_string(disposition) + " " + Hex(flagsAndAttributes));
        for (const Interface& i : interfaces) {
            if (i.path != path) continue;
            if (i.openError != 0) {
                error = i.openError;
                return nullptr;
            }
            ++openFiles;
            return reinterpret_cast<File>(uintptr_t{1});
        }
        error = win32::kErrorFileNotFound;
        return nullptr;
    }

    void CloseHandle(File) override {
        calls.push_back("close");
        --openFiles;
    }

    static std::string Hex(uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", value);
        return text;
    }

  private:
    std::vector<size_t> MembersOf(const Guid& interfaceClass) const {
        std::vector<size_t> members;
        for (size_t n = 0; n < interfaces.size(); ++n) {
            if (interfaces[n].interfaceClass == interfaceClass) members.push_back(n);
        }
        return members;
    }
    // A call on a list that was never made or is already gone is a bug of the platform.
    void Check(DeviceList list) {
        if (!liveLists.count(reinterpret_cast<uintptr_t>(list))) calls.push_back("BAD LIST");
    }

    uintptr_t lastList_ = 0;
    std::vector<uint32_t> properties_;
};

}  // namespace kq::test
