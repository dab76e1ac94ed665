#pragma once

// Between the portable Guid and Windows' GUID (Windows builds only; include after windows.h).

#include <algorithm>

#include "devlink/guid.h"

namespace kq::win32 {

inline GUID ToGuid(const Guid& g) {
    GUID out{};
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::copy(g.data4.begin(), g.data4.end(), out.Data4);
    return out;
}

inline Guid FromGuid(const GUID& g) {
    Guid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::copy(g.Data4, g.Data4 + 8, out.data4.begin());
    return out;
}

}  // namespace kq::win32
