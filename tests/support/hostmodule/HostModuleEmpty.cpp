// A host module without a string table.
extern "C" __attribute__((visibility("default"))) int HostModuleWithoutStrings() {
    return 1;
}
