#pragma once
// Run-time class records: a class's name and its base class's record, so that code can ask
// what an object is without the compiler's RTTI.

struct CRuntimeClass
{
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;

    bool IsDerivedFrom(const CRuntimeClass* base) const
    {
        for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass)
            if (c == base)
                return true;
        return false;
    }
};

#define RUNTIME_CLASS(theClass) (&theClass::classRecord##theClass)

// The root class declares the query; every class below it overrides it.
#define DECLARE_DYNAMIC_ROOT(theClass)                              \
    static const CRuntimeClass classRecord##theClass;               \
    virtual const CRuntimeClass* GetRuntimeClass() const { return &classRecord##theClass; } \
    bool IsKindOf(const CRuntimeClass* c) const { return GetRuntimeClass()->IsDerivedFrom(c); }

#define DECLARE_DYNAMIC(theClass)                                   \
    static const CRuntimeClass classRecord##theClass;               \
    const CRuntimeClass* GetRuntimeClass() const override { return &classRecord##theClass; }

#define IMPLEMENT_DYNAMIC(theClass, baseClass) \
    const CRuntimeClass theClass::classRecord##theClass = { #theClass, RUNTIME_CLASS(baseClass) };

#define IMPLEMENT_DYNAMIC_ROOT(theClass) \
    const CRuntimeClass theClass::classRecord##theClass = { #theClass, nullptr };
