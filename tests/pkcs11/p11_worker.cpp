// A PKCS #11 program for the sharing tests: loads the module, logs the user
// in and signs numbered messages with the private key of a label, each
// signature into a file of its own; or logs in and ends without C_Finalize.
//
//   vemra_p11_worker MODULE sign LABEL COUNT OUTDIR [RELOGIN_EVERY]
//   vemra_p11_worker MODULE login-and-exit
//
// Exit status 0 when every step succeeded; each failure is printed.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p11-kit/pkcs11.h"

namespace {

CK_FUNCTION_LIST_PTR f = nullptr;
CK_UTF8CHAR kPin[] = {'1', '2', '3', '4'};

bool ok(CK_RV rv, const char* what) {
  if (rv == CKR_OK) return true;
  std::printf("%s: 0x%lx\n", what, static_cast<unsigned long>(rv));
  return false;
}

CK_SESSION_HANDLE openLoggedIn() {
  CK_ULONG count = 1;
  CK_SLOT_ID slot = 0;
  if (!ok(f->C_GetSlotList(CK_TRUE, &slot, &count), "C_GetSlotList") || count == 0) std::exit(2);
  CK_SESSION_HANDLE session = 0;
  if (!ok(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "C_OpenSession"))
    std::exit(2);
  if (!ok(f->C_Login(session, CKU_USER, kPin, sizeof kPin), "C_Login")) std::exit(2);
  return session;
}

CK_OBJECT_HANDLE privateKey(CK_SESSION_HANDLE session, std::string label) {
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, label.data(), label.size()}};
  CK_OBJECT_HANDLE key = 0;
  CK_ULONG found = 0;
  if (!ok(f->C_FindObjectsInit(session, tmpl, 2), "C_FindObjectsInit")) std::exit(2);
  if (!ok(f->C_FindObjects(session, &key, 1, &found), "C_FindObjects") || found != 1) std::exit(2);
  (void)f->C_FindObjectsFinal(session);
  return key;
}

int sign(const std::string& label, int count, const std::string& outdir, int reloginEvery) {
  CK_SESSION_HANDLE session = openLoggedIn();
  const CK_OBJECT_HANDLE key = privateKey(session, label);
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    if (reloginEvery > 0 && i > 0 && i % reloginEvery == 0) {
      // Ends the card's login for every program, as a program that finishes
      // does.
      failures += !ok(f->C_Logout(session), "C_Logout");
      failures += !ok(f->C_Login(session, CKU_USER, kPin, sizeof kPin), "C_Login");
    }
    std::string message = "message " + std::to_string(i) + " of " + label;
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    std::vector<CK_BYTE> signature(512);
    CK_ULONG length = signature.size();
    CK_RV rv = f->C_SignInit(session, &mechanism, key);
    if (rv == CKR_OK) {
      rv = f->C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(message.data()), message.size(), signature.data(),
                     &length);
    }
    if (!ok(rv, ("signature " + std::to_string(i)).c_str())) {
      ++failures;
      continue;
    }
    FILE* out = std::fopen((outdir + "/" + std::to_string(i) + ".sig").c_str(), "wb");
    if (out == nullptr || std::fwrite(signature.data(), 1, length, out) != length) ++failures;
    if (out != nullptr) std::fclose(out);
  }
  failures += !ok(f->C_Logout(session), "C_Logout");
  failures += !ok(f->C_CloseSession(session), "C_CloseSession");
  failures += !ok(f->C_Finalize(nullptr), "C_Finalize");
  std::printf("%d of %d signed\n", count - failures, count);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::printf("%s\n", dlerror());
    return 2;
  }
  auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(dlsym(module, "C_GetFunctionList"));
  if (getList == nullptr || getList(&f) != CKR_OK || !ok(f->C_Initialize(nullptr), "C_Initialize")) return 2;
  const std::string mode = argv[2];
  if (mode == "sign" && argc >= 6) {
    return sign(argv[3], std::atoi(argv[4]), argv[5], argc >= 7 ? std::atoi(argv[6]) : 0);
  }
  if (mode == "login-and-exit") {
    (void)openLoggedIn();
    std::printf("logged in\n");
    return 0;  // no C_Logout, no C_Finalize
  }
  return 2;
}
