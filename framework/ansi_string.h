#pragma once
// An ANSI text owned by the object. Allocation failure leaves it empty instead of throwing,
// so the program carries no exception machinery.
#include <windows.h>

class CString
{
public:
    CString() = default;
    CString(const char* text) { Assign(text, text != nullptr ? lstrlenA(text) : 0); }
    CString(const CString& other) { Assign(other.m_pData, other.m_nLength); }
    CString(CString&& other) noexcept : m_pData(other.m_pData), m_nLength(other.m_nLength)
    {
        other.m_pData = nullptr;
        other.m_nLength = 0;
    }
    ~CString();

    CString& operator=(const CString& other);
    CString& operator=(CString&& other) noexcept;
    CString& operator=(const char* text) { return *this = CString(text); }
    CString& operator+=(const char* text) { Append(text, text != nullptr ? lstrlenA(text) : 0); return *this; }

    // Never null: an empty text is "".
    const char* GetString() const { return m_pData != nullptr ? m_pData : ""; }
    operator const char*() const { return GetString(); }
    int GetLength() const { return m_nLength; }
    bool IsEmpty() const { return m_nLength == 0; }

    // The first `count` bytes (all of them when count is larger).
    CString Left(int count) const;
    void Append(const char* text, int length);

private:
    void Assign(const char* text, int length);

    char* m_pData = nullptr;
    int m_nLength = 0;
};

inline bool operator==(const CString& a, const char* b) { return lstrcmpA(a.GetString(), b != nullptr ? b : "") == 0; }
inline bool operator==(const CString& a, const CString& b) { return a == b.GetString(); }
inline bool operator!=(const CString& a, const char* b) { return !(a == b); }
