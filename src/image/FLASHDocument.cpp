#include "image/FLASHDocument.h"

#include <cstdint>

#include "image/FLASHPropertyViewer.h"
#include "platform/Time.h"

ZF_IMPLEMENT_SERIAL(CFLASHDocument)

namespace {
CString MutexName(const char* pszBase, const void* pDocument)
{
    // Tick count and address keep the names of two documents apart; the
    // address is printed whole, so 64-bit addresses cannot collide.
    CString name;
    name.Format("%s%lu%lld", pszBase, static_cast<unsigned long>(GetTickCount()),
                static_cast<long long>(reinterpret_cast<std::intptr_t>(pDocument)));
    return name;
}
} // namespace

CFLASHDocument::CFLASHDocument()
    : m_pPropertyMutex(std::make_unique<CMutex>(false, MutexName("CFLASHDocument__m_pPropertyMutex", this))),
      m_pDocumentMutex(std::make_unique<CMutex>(false, MutexName("CFLASHDocument__m_pDocumentMutex", this)))
{
}

CFLASHDocument::~CFLASHDocument()
{
    if (CFLASHPropertyViewer* pViewer = m_pPropertyViewer)
        pViewer->OnDocumentClosed();
    // Waiting first lets a holder finish before the lock goes.
    for (std::unique_ptr<CMutex>* pMutex : {&m_pPropertyMutex, &m_pDocumentMutex}) {
        (*pMutex)->Lock();
        (*pMutex)->Unlock();
        pMutex->reset();
    }
}

BOOL CFLASHDocument::IsModified()
{
    return m_bModified;
}

void CFLASHDocument::SetModifiedFlag(BOOL bModified)
{
    m_bModified = bModified;
}

void CFLASHDocument::OnChangedViewList()
{
    OnPropertyChange();
}

BOOL CFLASHDocument::OnNewDocument()
{
    m_bModified = FALSE;
    return TRUE;
}

void CFLASHDocument::LockProperties()
{
    m_pPropertyMutex->Lock();
}

void CFLASHDocument::UnlockProperties()
{
    m_pPropertyMutex->Unlock();
}

void CFLASHDocument::LockDocument()
{
    m_pDocumentMutex->Lock();
}

void CFLASHDocument::UnlockDocument()
{
    m_pDocumentMutex->Unlock();
}

int CFLASHDocument::IsDocumentBusy()
{
    if (!m_pDocumentMutex->Lock(1))
        return TRUE;
    m_pDocumentMutex->Unlock();
    return FALSE;
}

int CFLASHDocument::GetReadOnly()
{
    return m_bReadOnly;
}

void CFLASHDocument::SetReadOnly(int bReadOnly)
{
    const BOOL bNew = bReadOnly ? TRUE : FALSE;
    if (bNew == m_bReadOnly)
        return;
    m_bReadOnly = bNew;
    UpdateAllViews(kReadOnlyHint, this);
}

void CFLASHDocument::OnPropertyChange()
{
    if (!m_pPropertyViewer)
        return;
    LockProperties();
    // The viewer may have been replaced while this thread waited.
    if (CFLASHPropertyViewer* pViewer = m_pPropertyViewer)
        pViewer->RefreshProperties();
    UnlockProperties();
}

void CFLASHDocument::SetPropertyViewer(CFLASHPropertyViewer* pViewer)
{
    LockProperties();
    m_pPropertyViewer = pViewer;
    UnlockProperties();
}

void CFLASHDocument::SetUntitled(CString name, int bUntitled)
{
    m_strUntitledName = name;
    m_bUntitled = bUntitled ? TRUE : FALSE;
}

int CFLASHDocument::IsUntitled(CString& name)
{
    name = m_strUntitledName;
    return m_bUntitled;
}

void CFLASHDocument::Serialize(CArchive&) {}

int CFLASHDocument::AddView(ViewUpdate update)
{
    int nView = 0;
    {
        std::lock_guard lock(m_viewMutex);
        nView = m_nNextView++;
        m_Views.emplace_back(nView, std::move(update));
    }
    OnChangedViewList();
    return nView;
}

void CFLASHDocument::RemoveView(int nView)
{
    {
        std::lock_guard lock(m_viewMutex);
        std::erase_if(m_Views, [nView](const auto& view) { return view.first == nView; });
    }
    OnChangedViewList();
}

void CFLASHDocument::UpdateAllViews(LPARAM lHint, CObject* pHint)
{
    std::vector<ViewUpdate> views;
    {
        std::lock_guard lock(m_viewMutex);
        for (const auto& view : m_Views)
            views.push_back(view.second);
    }
    // Called outside the list lock so that a view may add or remove views.
    for (const ViewUpdate& update : views)
        update(lHint, pHint);
}
