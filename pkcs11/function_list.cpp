// The function list, and the functions the card cannot serve: it computes
// nothing but RSA signatures and decryptions with its own keys and makes no
// keys, and objects never change once written.
#include "module.h"

using namespace vemra::p11;

extern "C" {

namespace {

CK_RV unsupported() {
  return guarded([] { return module().initialized ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

CK_RV notParallel() {
  return guarded([] { return module().initialized ? CKR_FUNCTION_NOT_PARALLEL : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

}  // namespace

CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) { return unsupported(); }
CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
  return unsupported();
}
CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return unsupported();
}
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DigestInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR) { return unsupported(); }
CK_RV C_Digest(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_VerifyInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_Verify(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return unsupported();
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return unsupported();
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return unsupported();
}
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return unsupported();
}
CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return unsupported();
}
// The card makes no keys; keys reach it by C_CreateObject.
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                        CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
  return unsupported();
}
CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
  return unsupported();
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return unsupported();
}
CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) {
  return unsupported();
}
CK_RV C_SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_GenerateRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) { return notParallel(); }
CK_RV C_CancelFunction(CK_SESSION_HANDLE) { return notParallel(); }

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  static CK_FUNCTION_LIST list = {
      {2, 40},
#define VEMRA_P11_ENTRY(name) name,
      VEMRA_P11_ENTRY(C_Initialize) VEMRA_P11_ENTRY(C_Finalize) VEMRA_P11_ENTRY(C_GetInfo)
      VEMRA_P11_ENTRY(C_GetFunctionList) VEMRA_P11_ENTRY(C_GetSlotList) VEMRA_P11_ENTRY(C_GetSlotInfo)
      VEMRA_P11_ENTRY(C_GetTokenInfo) VEMRA_P11_ENTRY(C_GetMechanismList) VEMRA_P11_ENTRY(C_GetMechanismInfo)
      VEMRA_P11_ENTRY(C_InitToken) VEMRA_P11_ENTRY(C_InitPIN) VEMRA_P11_ENTRY(C_SetPIN)
      VEMRA_P11_ENTRY(C_OpenSession) VEMRA_P11_ENTRY(C_CloseSession) VEMRA_P11_ENTRY(C_CloseAllSessions)
      VEMRA_P11_ENTRY(C_GetSessionInfo) VEMRA_P11_ENTRY(C_GetOperationState) VEMRA_P11_ENTRY(C_SetOperationState)
      VEMRA_P11_ENTRY(C_Login) VEMRA_P11_ENTRY(C_Logout) VEMRA_P11_ENTRY(C_CreateObject)
      VEMRA_P11_ENTRY(C_CopyObject) VEMRA_P11_ENTRY(C_DestroyObject) VEMRA_P11_ENTRY(C_GetObjectSize)
      VEMRA_P11_ENTRY(C_GetAttributeValue) VEMRA_P11_ENTRY(C_SetAttributeValue) VEMRA_P11_ENTRY(C_FindObjectsInit)
      VEMRA_P11_ENTRY(C_FindObjects) VEMRA_P11_ENTRY(C_FindObjectsFinal) VEMRA_P11_ENTRY(C_EncryptInit)
      VEMRA_P11_ENTRY(C_Encrypt) VEMRA_P11_ENTRY(C_EncryptUpdate) VEMRA_P11_ENTRY(C_EncryptFinal)
      VEMRA_P11_ENTRY(C_DecryptInit) VEMRA_P11_ENTRY(C_Decrypt) VEMRA_P11_ENTRY(C_DecryptUpdate)
      VEMRA_P11_ENTRY(C_DecryptFinal) VEMRA_P11_ENTRY(C_DigestInit) VEMRA_P11_ENTRY(C_Digest)
      VEMRA_P11_ENTRY(C_DigestUpdate) VEMRA_P11_ENTRY(C_DigestKey) VEMRA_P11_ENTRY(C_DigestFinal)
      VEMRA_P11_ENTRY(C_SignInit) VEMRA_P11_ENTRY(C_Sign) VEMRA_P11_ENTRY(C_SignUpdate)
      VEMRA_P11_ENTRY(C_SignFinal) VEMRA_P11_ENTRY(C_SignRecoverInit) VEMRA_P11_ENTRY(C_SignRecover)
      VEMRA_P11_ENTRY(C_VerifyInit) VEMRA_P11_ENTRY(C_Verify) VEMRA_P11_ENTRY(C_VerifyUpdate)
      VEMRA_P11_ENTRY(C_VerifyFinal) VEMRA_P11_ENTRY(C_VerifyRecoverInit) VEMRA_P11_ENTRY(C_VerifyRecover)
      VEMRA_P11_ENTRY(C_DigestEncryptUpdate) VEMRA_P11_ENTRY(C_DecryptDigestUpdate)
      VEMRA_P11_ENTRY(C_SignEncryptUpdate) VEMRA_P11_ENTRY(C_DecryptVerifyUpdate) VEMRA_P11_ENTRY(C_GenerateKey)
      VEMRA_P11_ENTRY(C_GenerateKeyPair) VEMRA_P11_ENTRY(C_WrapKey) VEMRA_P11_ENTRY(C_UnwrapKey)
      VEMRA_P11_ENTRY(C_DeriveKey) VEMRA_P11_ENTRY(C_SeedRandom) VEMRA_P11_ENTRY(C_GenerateRandom)
      VEMRA_P11_ENTRY(C_GetFunctionStatus) VEMRA_P11_ENTRY(C_CancelFunction) VEMRA_P11_ENTRY(C_WaitForSlotEvent)
#undef VEMRA_P11_ENTRY
  };
  if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
  *ppFunctionList = &list;
  return CKR_OK;
}

}  // extern "C"
