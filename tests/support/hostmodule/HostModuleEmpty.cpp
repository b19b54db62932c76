#if defined(_WIN32)
extern "C" __declspec(dllexport) int HostModuleWithoutStrings() {
#else
extern "C" __attribute__((visibility("default"))) int HostModuleWithoutStrings() {
#endif
    return 1;
}
