// Security descriptors: the layer reads only whether a NULL DACL is attached, which
// makes a newly created file usable by every account.
#include "handles.h"

namespace {

constexpr DWORD kErrorUnknownRevision = 1305;
constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kDaclDefaulted = 0x0008;
constexpr WORD kSelfRelative = 0x8000;
constexpr DWORD kErrorInvalidSecurityDescr = 1338;

void set_control(SECURITY_DESCRIPTOR *sd, WORD flag, BOOL on) {
    sd->Control = static_cast<WORD>(on ? sd->Control | flag : sd->Control & ~flag);
}

}  // namespace

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (pSecurityDescriptor == nullptr) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return plat::fail<BOOL>(kErrorUnknownRevision, FALSE);
    SECURITY_DESCRIPTOR *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
    *sd = SECURITY_DESCRIPTOR();
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
    if (pSecurityDescriptor == nullptr) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    SECURITY_DESCRIPTOR *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return plat::fail<BOOL>(kErrorUnknownRevision, FALSE);
    if (sd->Control & kSelfRelative) return plat::fail<BOOL>(kErrorInvalidSecurityDescr, FALSE);
    set_control(sd, kDaclPresent, bDaclPresent);
    if (!bDaclPresent) return TRUE;  // the DACL and its defaulted flag stay as they were
    sd->Dacl = pDacl;
    set_control(sd, kDaclDefaulted, bDaclDefaulted);
    return TRUE;
}
