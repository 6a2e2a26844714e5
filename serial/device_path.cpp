#include "serial/device_path.h"

#include <cstring>

namespace {

bool IsBareComName(const char* name)
{
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm'))
        return false;
    const char* digits = name + 3;
    if (*digits == '\0')
        return false;
    for (const char* p = digits; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

void CopyTruncated(char* dest, size_t destSize, const char* src)
{
    if (destSize == 0)
        return;
    size_t len = std::strlen(src);
    if (len >= destSize)
        len = destSize - 1;
    std::memcpy(dest, src, len);
    dest[len] = '\0';
}

} // namespace

bool MakeDevicePath(const char* name, char* path, size_t pathSize)
{
    if (name == nullptr) {
        CopyTruncated(path, pathSize, "");
        return false;
    }
    if (!IsBareComName(name)) {
        CopyTruncated(path, pathSize, name);
        return false;
    }
    static const char kPrefix[] = "\\\\.\\";
    const size_t prefixLen = sizeof(kPrefix) - 1;
    if (pathSize <= prefixLen) {
        CopyTruncated(path, pathSize, "");
        return false;
    }
    std::memcpy(path, kPrefix, prefixLen);
    CopyTruncated(path + prefixLen, pathSize - prefixLen, name);
    return true;
}
