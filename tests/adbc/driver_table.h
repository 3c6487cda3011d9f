// The driver's function table for ADBC 1.1.0, loaded once with dlopen as a host loads it.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "norvale_adbc.h"

namespace nv_adbc_test {

/// The table filled by AdbcDriverInit(ADBC_VERSION_1_1_0). The library stays loaded for the
/// whole process, as under a driver manager.
inline const AdbcDriver& driver_table() {
  static const AdbcDriver table = [] {
    AdbcDriver d{};
    void* library = dlopen(NV_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      ADD_FAILURE() << dlerror();
      return d;
    }
    auto init = reinterpret_cast<AdbcDriverInitFunc>(dlsym(library, "AdbcDriverInit"));
    AdbcError error{};
    if (init == nullptr || init(ADBC_VERSION_1_1_0, &d, &error) != ADBC_STATUS_OK) {
      ADD_FAILURE() << "AdbcDriverInit(1.1.0) failed";
    }
    return d;
  }();
  return table;
}

}  // namespace nv_adbc_test
