// Vexolan's version record as an ELF note.
#include "common/version_note.h"

[[gnu::used, gnu::section(".note.orlethe.version")]] alignas(4) const VersionNote vexolan_version_note(
    "FileVersion=1.0.0.45\0ProductVersion=1.0.0.45\0FileDescription=Delete file duplicates\0"
    "ProductName=Vexolan\0CompanyName=Orlethe\0LegalCopyright=Orlethe\0InternalName=Vexolan\0"
    "OriginalFilename=vexolan\0WebSite=https://orlethe.example");
