// Quorith's version record as an ELF note.
#include "common/version_note.h"

[[gnu::used, gnu::section(".note.orlethe.version")]] alignas(4) const VersionNote quorith_version_note(
    "FileVersion=1.0.0.45\0ProductVersion=1.0.0.45\0FileDescription=Removes string duplicates in specified file\0"
    "ProductName=Quorith\0CompanyName=Orlethe\0LegalCopyright=Orlethe\0InternalName=Quorith\0"
    "OriginalFilename=quorith\0WebSite=https://orlethe.example");
