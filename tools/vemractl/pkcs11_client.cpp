// The demo's PKCS #11 client: the module is loaded and called through its
// function list only, as programs that use PKCS #11 modules do.
#include "pkcs11_client.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

#include "error.h"
#include "p11-kit/pkcs11.h"

namespace vemra::ctl {

using host::Error;

std::string defaultPkcs11ModulePath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return VEMRA_PKCS11_FILE_NAME;
  const std::filesystem::path dir = self.parent_path();
  for (const std::filesystem::path& candidate :
       {dir / VEMRA_PKCS11_FILE_NAME, dir / ".." / VEMRA_INSTALL_LIBDIR / "pkcs11" / VEMRA_PKCS11_FILE_NAME}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return (dir / VEMRA_PKCS11_FILE_NAME).string();
}

namespace {

std::string rvName(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT: return "CKR_PIN_INCORRECT";
    case CKR_PIN_LOCKED: return "CKR_PIN_LOCKED";
    case CKR_TOKEN_NOT_PRESENT: return "CKR_TOKEN_NOT_PRESENT";
    case CKR_TOKEN_NOT_RECOGNIZED: return "CKR_TOKEN_NOT_RECOGNIZED";
    case CKR_DEVICE_ERROR: return "CKR_DEVICE_ERROR";
    case CKR_DEVICE_REMOVED: return "CKR_DEVICE_REMOVED";
    case CKR_MECHANISM_INVALID: return "CKR_MECHANISM_INVALID";
    case CKR_KEY_TYPE_INCONSISTENT: return "CKR_KEY_TYPE_INCONSISTENT";
    case CKR_USER_NOT_LOGGED_IN: return "CKR_USER_NOT_LOGGED_IN";
    case CKR_GENERAL_ERROR: return "CKR_GENERAL_ERROR";
    default: break;
  }
  char text[24];
  std::snprintf(text, sizeof text, "CKR 0x%08lx", static_cast<unsigned long>(rv));
  return text;
}

void check(const char* call, CK_RV rv) {
  if (rv != CKR_OK) throw Error(std::string(call) + " returned " + rvName(rv));
}

// The module loaded and initialised; finalised and unloaded when it goes.
class Module {
 public:
  explicit Module(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* why = ::dlerror();
      throw Error("cannot load the PKCS #11 module " + path + ": " + (why != nullptr ? why : "unknown reason"));
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
    if (getList == nullptr) {
      ::dlclose(handle_);
      throw Error(path + " has no C_GetFunctionList");
    }
    CK_RV rv = getList(&f_);
    if (rv == CKR_OK) rv = f_->C_Initialize(nullptr);
    if (rv != CKR_OK) {
      ::dlclose(handle_);
      check("C_Initialize", rv);
    }
  }
  ~Module() {
    f_->C_Finalize(nullptr);
    ::dlclose(handle_);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  CK_FUNCTION_LIST* operator->() const { return f_; }

 private:
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* f_ = nullptr;
};

// An open session; logged out and closed when it goes.
class Session {
 public:
  Session(const Module& module, CK_SLOT_ID slot) : module_(module) {
    check("C_OpenSession", module_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_));
  }
  ~Session() {
    if (loggedIn_) module_->C_Logout(handle_);
    module_->C_CloseSession(handle_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void login(const Secret& pin) {
    // C_Login does not write to the PIN; the interface only lacks const.
    auto* text = const_cast<CK_UTF8CHAR*>(pin.data());
    check("C_Login", module_->C_Login(handle_, CKU_USER, text, pin.size()));
    loggedIn_ = true;
  }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  const Module& module_;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
  bool loggedIn_ = false;
};

std::string trimmed(const CK_UTF8CHAR* text, std::size_t size) {
  std::string s(reinterpret_cast<const char*>(text), size);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// The slot of the reader, by its description (the reader's name, cut to the
// field's 64 characters).
CK_SLOT_ID slotOf(const Module& module, const std::string& reader) {
  CK_ULONG count = 0;
  check("C_GetSlotList", module->C_GetSlotList(CK_TRUE, nullptr, &count));
  std::vector<CK_SLOT_ID> slots(count);
  check("C_GetSlotList", module->C_GetSlotList(CK_TRUE, slots.data(), &count));
  slots.resize(count);
  for (CK_SLOT_ID slot : slots) {
    CK_SLOT_INFO info{};
    if (module->C_GetSlotInfo(slot, &info) != CKR_OK) continue;
    const std::string description = trimmed(info.slotDescription, sizeof info.slotDescription);
    if (!description.empty() && reader.compare(0, description.size(), description) == 0) return slot;
  }
  throw Error("the PKCS #11 module offers no token in \"" + reader + "\"");
}

CK_OBJECT_HANDLE privateKey(const Module& module, CK_SESSION_HANDLE session, BYTE container, DWORD keySpec) {
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_BYTE id[] = {container, static_cast<CK_BYTE>(keySpec)};
  CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, sizeof id}};
  check("C_FindObjectsInit", module->C_FindObjectsInit(session, attributes, 2));
  CK_OBJECT_HANDLE found[2] = {};
  CK_ULONG count = 0;
  const CK_RV rv = module->C_FindObjects(session, found, 2, &count);
  module->C_FindObjectsFinal(session);
  check("C_FindObjects", rv);
  if (count != 1) throw Error("C_FindObjects found " + std::to_string(count) + " private keys of the container");
  return found[0];
}

}  // namespace

Bytes signThroughPkcs11(const std::string& modulePath, const std::string& reader, BYTE container, DWORD keySpec,
                        const Secret& pin, const Bytes& message, std::ostream& out) {
  Module module(modulePath);
  const CK_SLOT_ID slot = slotOf(module, reader);
  CK_TOKEN_INFO token{};
  check("C_GetTokenInfo", module->C_GetTokenInfo(slot, &token));
  out << "    " << modulePath << ": token \"" << trimmed(token.label, sizeof token.label) << "\" in slot " << slot
      << "\n";
  Session session(module, slot);
  session.login(pin);
  const CK_OBJECT_HANDLE key = privateKey(module, session.handle(), container, keySpec);
  out << "    C_Login(CKU_USER) accepted the PIN; C_FindObjects found the container's private key\n";
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  check("C_SignInit", module->C_SignInit(session.handle(), &mechanism, key));
  Bytes data = message;  // C_Sign takes the data without const
  CK_ULONG length = 0;
  check("C_Sign", module->C_Sign(session.handle(), data.data(), data.size(), nullptr, &length));
  Bytes signature(length);
  check("C_Sign", module->C_Sign(session.handle(), data.data(), data.size(), signature.data(), &length));
  signature.resize(length);
  out << "    C_Sign(CKM_SHA256_RSA_PKCS) returned " << signature.size() << " bytes\n";
  return signature;
}

ModuleView viewThroughPkcs11(const std::string& modulePath, const std::string& reader, BYTE container,
                             DWORD keySpec) {
  Module module(modulePath);
  const CK_SLOT_ID slot = slotOf(module, reader);
  ModuleView view;
  CK_ULONG count = 0;
  check("C_GetMechanismList", module->C_GetMechanismList(slot, nullptr, &count));
  std::vector<CK_MECHANISM_TYPE> mechanisms(count);
  check("C_GetMechanismList", module->C_GetMechanismList(slot, mechanisms.data(), &count));
  mechanisms.resize(count);
  for (CK_MECHANISM_TYPE m : mechanisms) view.pss = view.pss || m == CKM_RSA_PKCS_PSS;

  Session session(module, slot);
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  CK_BYTE id[] = {container, static_cast<CK_BYTE>(keySpec)};
  CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass}, {CKA_ID, id, sizeof id}};
  check("C_FindObjectsInit", module->C_FindObjectsInit(session.handle(), attributes, 2));
  CK_OBJECT_HANDLE found[2] = {};
  CK_ULONG objects = 0;
  const CK_RV rv = module->C_FindObjects(session.handle(), found, 2, &objects);
  module->C_FindObjectsFinal(session.handle());
  check("C_FindObjects", rv);
  if (objects != 1) return view;
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  check("C_GetAttributeValue", module->C_GetAttributeValue(session.handle(), found[0], &value, 1));
  view.certificate.resize(value.ulValueLen);
  value.pValue = view.certificate.data();
  check("C_GetAttributeValue", module->C_GetAttributeValue(session.handle(), found[0], &value, 1));
  return view;
}

}  // namespace vemra::ctl
