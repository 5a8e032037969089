// Security descriptors: recorded only; every object is open to all accounts
// (see SECURITY.md for what that cannot match of Windows).
#include "platform/posix/kernel_objects.h"

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    *descriptor = SECURITY_DESCRIPTOR();
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!bDaclPresent) {
        descriptor->Control &= static_cast<WORD>(~SE_DACL_PRESENT);
        return TRUE;
    }
    descriptor->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) {
        descriptor->Control |= SE_DACL_DEFAULTED;
    } else {
        descriptor->Control &= static_cast<WORD>(~SE_DACL_DEFAULTED);
    }
    descriptor->Dacl = pDacl;
    return TRUE;
}

