// Objects: the search, the attributes, and creating and destroying the
// card's keys and certificates.
#include "module.h"
#include "writing.h"

using namespace vemra::p11;

extern "C" {

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    const Object* o = nullptr;
    rv = findObject(s, t, hObject, o);
    if (rv != CKR_OK) return rv;
    return getAttributes(*o, pTemplate, ulCount);
  });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (pulSize == nullptr) return CKR_ARGUMENTS_BAD;
    const Object* o = nullptr;
    rv = findObject(s, t, hObject, o);
    if (rv != CKR_OK) return rv;
    *pulSize = CK_UNAVAILABLE_INFORMATION;
    return CKR_OK;
  });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    if (s.finding) return CKR_OPERATION_ACTIVE;
    // Read the card again (what the token keeps serves while cardcf is
    // unchanged); the certificates only when the search may find them.
    rv = loadObjects(s.slot, t, mayFindCertificates(pTemplate, ulCount));
    if (rv != CKR_OK) return rv;
    s.found.clear();
    s.nextFound = 0;
    for (const Object& o : t.objects) {
      if (userVisible(t, o) && matchesTemplate(o, pTemplate, ulCount)) s.found.push_back(o.handle);
    }
    s.finding = true;
    return CKR_OK;
  });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  return withSession(hSession, [&](Session& s, Token&) -> CK_RV {
    if (phObject == nullptr || pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
    if (!s.finding) return CKR_OPERATION_NOT_INITIALIZED;
    CK_ULONG n = 0;
    while (n < ulMaxObjectCount && s.nextFound < s.found.size()) phObject[n++] = s.found[s.nextFound++];
    *pulObjectCount = n;
    return CKR_OK;
  });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  return withSession(hSession, [&](Session& s, Token&) -> CK_RV {
    if (!s.finding) return CKR_OPERATION_NOT_INITIALIZED;
    s.finding = false;
    s.found.clear();
    return CKR_OK;
  });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    if ((pTemplate == nullptr && ulCount != 0) || phObject == nullptr) return CKR_ARGUMENTS_BAD;
    return createObject(s, t, pTemplate, ulCount, *phObject);
  });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  return withCard(hSession, [&](Session& s, Token& t) { return destroyObject(s, t, hObject); });
}

}  // extern "C"
