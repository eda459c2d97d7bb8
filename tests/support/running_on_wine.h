#pragma once

namespace rivelo::test {

// Whether the program runs on Wine: its ntdll exports wine_get_version.
bool running_on_wine();

}  // namespace rivelo::test
