#pragma once
// What the host implements to show a document's properties. The document
// refreshes it when properties change and tells it when the document goes.
class CFLASHPropertyViewer
{
public:
    CFLASHPropertyViewer() = default;
    // Nothing to copy: the viewer's state is the host's own.
    CFLASHPropertyViewer(const CFLASHPropertyViewer&) {}
    CFLASHPropertyViewer& operator=(const CFLASHPropertyViewer&) { return *this; }
    virtual ~CFLASHPropertyViewer() = default;

    // Called under the document's property lock.
    virtual void RefreshProperties() = 0;
    // Called by the document's destructor; the viewer must not use the document afterwards.
    virtual void OnDocumentClosed() = 0;
};
