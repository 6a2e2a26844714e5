#include "framework/ansi_string.h"

#include <cstdlib>
#include <cstring>

CString::~CString()
{
    std::free(m_pData);
}

CString& CString::operator=(const CString& other)
{
    if (this != &other)
        Assign(other.m_pData, other.m_nLength);
    return *this;
}

CString& CString::operator=(CString&& other) noexcept
{
    if (this != &other) {
        std::free(m_pData);
        m_pData = other.m_pData;
        m_nLength = other.m_nLength;
        other.m_pData = nullptr;
        other.m_nLength = 0;
    }
    return *this;
}

CString CString::Left(int count) const
{
    CString part;
    part.Assign(m_pData, count < 0 ? 0 : count < m_nLength ? count : m_nLength);
    return part;
}

void CString::Assign(const char* text, int length)
{
    char* data = nullptr;
    if (length > 0) {
        data = static_cast<char*>(std::malloc((size_t)length + 1));
        if (data == nullptr)
            length = 0;
        else {
            std::memcpy(data, text, (size_t)length);
            data[length] = '\0';
        }
    }
    std::free(m_pData);
    m_pData = data;
    m_nLength = length;
}

void CString::Append(const char* text, int length)
{
    if (length <= 0)
        return;
    char* data = static_cast<char*>(std::realloc(m_pData, (size_t)m_nLength + (size_t)length + 1));
    if (data == nullptr)
        return;
    std::memcpy(data + m_nLength, text, (size_t)length);
    m_nLength += length;
    data[m_nLength] = '\0';
    m_pData = data;
}
