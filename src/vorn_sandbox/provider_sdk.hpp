// Importing a provider's SDK when its module is imported. The SDKs are
// optional extras, so a missing one is reported with the extra to install.
#pragma once

#include "pyx/error.hpp"

#include <exception>

namespace vorn_sandbox {

// Runs `imports`; an ImportError becomes ImportError(`missing`) raised from the
// original one. Any other failure passes unchanged.
template <class Imports>
void import_provider_sdk(const char* missing, Imports&& imports) {
    try {
        imports();
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.matches(PyExc_ImportError)) throw error;
        pyx::raise_from(pyx::make_exception(PyExc_ImportError, missing), error.value());
    }
}

}  // namespace vorn_sandbox
