#pragma once

// A test host module with the error codes' display texts, or one without;
// null with a test failure when it does not load.
void* LoadTestHostModule(bool bWithStrings);
