// The generic item interface of mail-reading providers. This provider never
// hands out an item; the exports that take one still keep their frame.
#pragma once

#include "mailapi.h"

class CMailAPI;

class CMailItem {
public:
    virtual void Destroy(unsigned flags) = 0;  // 1: also free the object
    virtual MAILRESULT Receive(void* pArg1, void* pArg2, void* pArg3) = 0;
    virtual MAILRESULT AttachmentSave(void* pArg1, void* pArg2) = 0;
    virtual MAILRESULT Delete() = 0;
    virtual MAILRESULT FindNext() = 0;
    virtual void FindClose() = 0;
    virtual CMailAPI* Provider() = 0;

protected:
    ~CMailItem() = default;
};
