#include "ImportPatch.h"

#include <cstring>

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function,
                         const void* substitute) {
    auto* base = reinterpret_cast<BYTE*>(module);
    if (base == nullptr) {
        m_error = std::string("module not loaded, so ") + function + " cannot be substituted";
        return;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && d->Name != 0; ++d) {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0)
            continue;
        // The names come from the lookup table; the addresses to change sit
        // in the address table at the same positions.
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            m_slot = reinterpret_cast<void**>(&addresses->u1.Function);
            m_original = *m_slot;
            Write(const_cast<void*>(substitute));
            return;
        }
    }
    m_error = std::string("the module does not import ") + function + " from " + dll;
}

ImportPatch::~ImportPatch() {
    if (m_slot != nullptr)
        Write(m_original);
}

void ImportPatch::Write(void* value) {
    DWORD old = 0;
    if (!::VirtualProtect(m_slot, sizeof *m_slot, PAGE_READWRITE, &old)) {
        m_error = "the import table cannot be written";
        m_slot = nullptr;
        return;
    }
    *m_slot = value;
    ::VirtualProtect(m_slot, sizeof *m_slot, old, &old);
}
