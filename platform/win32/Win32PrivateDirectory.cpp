// platform/win32/Win32PrivateDirectory.cpp: directories that belong to the
// process's user alone. Directories in a shared TMP could have been made by
// another user, who could then plant links or read what we store there.
//
// A private directory is made with an explicit owner (the process's user) and
// a protected DACL whose one entry gives that user full access, inherited by
// what is made in it. It counts as private when its owner is that user and its
// DACL lets in nobody but that user and the system. Any thread.
#include <memory>
#include <vector>

#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {

// The SID of the process's user, copied into `buffer`.
PSID ProcessUser(std::vector<unsigned char>& buffer) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer.assign(size > 0 ? size : 1, 0);
  const bool ok = size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
  ::CloseHandle(token);
  return ok ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid : nullptr;
}

struct CLocalFree {
  void operator()(void* p) const { ::LocalFree(p); }
};

}  // namespace

bool DirectoryCreatePrivate(const std::string& path) {
  std::vector<unsigned char> userBuffer;
  const PSID user = ProcessUser(userBuffer);
  if (user == nullptr) return TakeSystemError(), false;
  EXPLICIT_ACCESSA access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = static_cast<LPSTR>(user);
  PACL acl = nullptr;
  const DWORD rc = ::SetEntriesInAclA(1, &access, nullptr, &acl);
  if (rc != ERROR_SUCCESS) {
    PlatformSetLastError(rc);
    return false;
  }
  const std::unique_ptr<void, CLocalFree> aclOwner(acl);
  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorOwner(&descriptor, user, FALSE) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return TakeSystemError(), false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  if (!::CreateDirectoryA(path.c_str(), &attributes)) return TakeSystemError(), false;
  return true;
}

bool DirectoryIsPrivate(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    PlatformSetLastError(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                             ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                             : static_cast<DWORD>(ERROR_ACCESS_DENIED));
    return false;
  }
  // A link to a directory is not the directory itself.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    PlatformSetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::vector<unsigned char> userBuffer;
  const PSID user = ProcessUser(userBuffer);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                           nullptr, &dacl, nullptr, &descriptor);
  const std::unique_ptr<void, CLocalFree> descriptorOwner(descriptor);
  bool closed = rc == ERROR_SUCCESS && user != nullptr && owner != nullptr && ::EqualSid(owner, user) &&
                dacl != nullptr;  // a null DACL lets everybody in
  for (DWORD i = 0; closed && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) {
      closed = false;
      break;
    }
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      closed = false;  // an entry we cannot judge
      break;
    }
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID trustee = const_cast<DWORD*>(&allowed->SidStart);
    // The system itself may enter anything anyway; wine lists it on every file.
    if (!::EqualSid(trustee, user) && !::IsWellKnownSid(trustee, WinLocalSystemSid)) closed = false;
  }
  if (!closed) {
    PlatformSetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}
