#pragma once
// Root of the serialisable class families, with a registry of run-time class
// names so that archives can re-create the objects of a list.
#include <functional>
#include <memory>

class CArchive;

class CObject
{
public:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
    virtual ~CObject() = default;

    virtual void Serialize(CArchive& ar);
    virtual const char* GetRuntimeClassName() const { return "CObject"; }
    bool IsKindOf(const char* pszClassName) const;

    // Creates a registered class by name; nullptr for an unknown name.
    static CObject* CreateObject(const char* pszClassName);
    static void RegisterClass(const char* pszClassName, std::function<CObject*()> factory);
};

// Declares the run-time class name of a class.
#define ZF_DECLARE_DYNAMIC(cls) \
public:                         \
    const char* GetRuntimeClassName() const override { return #cls; }

// Makes a default-constructible class creatable by CArchive::ReadObject.
#define ZF_IMPLEMENT_SERIAL(cls)                                                              \
    namespace {                                                                                \
    [[maybe_unused]] const bool s_registered_##cls = [] {                                      \
        CObject::RegisterClass(#cls, [] { return static_cast<CObject*>(new cls); });          \
        return true;                                                                           \
    }();                                                                                       \
    }
