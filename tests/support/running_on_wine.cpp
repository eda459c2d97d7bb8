#include "support/running_on_wine.h"

#include <windows.h>

namespace rivelo::test {

bool running_on_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace rivelo::test
