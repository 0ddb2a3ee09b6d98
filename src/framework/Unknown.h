#pragma once
// Base of every COM object of the framework: the process-wide live-object count, and an
// aggregatable IUnknown whose outside face forwards to the owner.

#include <unknwn.h>
#include <windows.h>

#include <atomic>

// Counts itself in the process-wide number of live framework objects, which decides whether
// the module may be unloaded.
class CBaseObject {
public:
    CBaseObject() noexcept;
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

    static LONG LiveObjectCount() noexcept;
};

// The object's own IUnknown, independent of any outer object it is aggregated into.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // outer is the controlling unknown when aggregated, else null.
    CUnknown(const wchar_t* objectName, IUnknown* outer) noexcept;
    ~CUnknown() override = default;

    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE InnerAddRef() override;
    ULONG STDMETHODCALLTYPE InnerRelease() override;

    // Where the public interfaces' IUnknown methods go.
    IUnknown* GetOwner() const noexcept { return mOwner; }
    // The non-delegating IUnknown, handed to an aggregating outer object.
    IUnknown* GetInner() noexcept { return &mInner; }

protected:
    std::atomic<LONG> mRefCount{0};

private:
    // Presents the Inner* methods through a real IUnknown, so no vtable layout is assumed.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(CUnknown* self) noexcept : mSelf(self) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            return mSelf->InnerQueryInterface(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return mSelf->InnerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return mSelf->InnerRelease(); }

    private:
        CUnknown* mSelf;
    };

    InnerUnknown mInner{this};
    IUnknown* mOwner;
};

// Hands out an interface pointer with an added reference.
HRESULT GetInterface(IUnknown* unknown, void** ppv);

// The three IUnknown methods of a public interface of a CUnknown-derived class.
#define ZARVO_FORWARD_IUNKNOWN                                                                   \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {                \
        return GetOwner()->QueryInterface(riid, ppv);                                            \
    }                                                                                            \
    ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }                   \
    ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }
