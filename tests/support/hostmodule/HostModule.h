// The two test host modules: one with the display texts of the error codes,
// one without. Each loads once per process.
#pragma once

#include <string>

// Returns the module handle (a dynamic-loader handle), or null with a failure.
void* LoadTestHostModule(bool bWithStrings);
