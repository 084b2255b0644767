// The cryptographic operations: signing and decrypting with the card's
// private keys.
#include <openssl/evp.h>

#include <cstring>

#include "mechanisms.h"
#include "module.h"

namespace vemra::p11 {

namespace {

constexpr std::size_t kMaxSignedData = 512;

// The key of an operation: a private key the user may use for `usage`.
CK_RV operationKey(Session& s, Token& t, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE usage, const Object*& key) {
  if (t.login != Login::User) return CKR_USER_NOT_LOGGED_IN;
  const CK_RV rv = findObject(s, t, handle, key);
  if (rv == CKR_OBJECT_HANDLE_INVALID || (rv == CKR_OK && key->objectClass != CKO_PRIVATE_KEY)) {
    return CKR_KEY_HANDLE_INVALID;
  }
  if (rv != CKR_OK) return rv;
  if (!key->boolean(usage)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  return CKR_OK;
}

// A raw or PSS signature of the session's data (or hash) by the card's raw
// operation, checked with the public key before it is handed out; the
// operation ends.
CK_RV rawSign(Session& s, Token& t, const Mechanism& m, const Object& key, Bytes& signature) {
  Bytes block;
  CK_RV rv = rawSignBlock(m, s.pss, key, s.signData, block);
  endSign(s);
  if (rv != CKR_OK) return rv;
  const DWORD rc = rawOperation(*t.port, key, block, signature);
  if (rc != 0) return cardFailure(s.slot, rc);
  rv = opensToBlock(key, signature, block) ? CKR_OK : CKR_DEVICE_ERROR;
  wipe(block);
  return rv;
}

// The hash of what the session took in becomes the data to sign; a failure
// ends the signing.
CK_RV finishDigest(Session& s) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned hashLength = 0;
  if (EVP_DigestFinal_ex(s.digest.get(), hash, &hashLength) != 1) {
    endSign(s);
    return CKR_GENERAL_ERROR;
  }
  s.signData.assign(hash, hash + hashLength);
  s.digestDone = true;
  return CKR_OK;
}

// Finishes a signature: the length alone when `signature` is NULL or too
// small (the operation stays), else the card's signature (the operation
// ends).
CK_RV finishSign(Session& s, Token& t, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
  const Object* key = nullptr;
  CK_RV rv = findObject(s, t, s.signKey, key);
  if (rv != CKR_OK) {
    endSign(s);
    return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
  }
  const CK_ULONG size = key->modulusBytes;
  const Mechanism* m = findMechanism(s.signMechanism);
  const bool raw = m->scheme == Scheme::Raw || m->scheme == Scheme::Pss;
  if (m->digest == nullptr && (raw ? rawSignLength(*m, s.pss, *key, s.signData.size()) != CKR_OK
                                   : s.signData.size() + 11 > size)) {
    endSign(s);
    return CKR_DATA_LEN_RANGE;
  }
  if (signature == nullptr) {
    *length = size;
    return CKR_OK;
  }
  if (*length < size) {
    *length = size;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (m->digest != nullptr && !s.digestDone) {
    if (const CK_RV rv = finishDigest(s); rv != CKR_OK) return rv;
  }
  Bytes result;
  if (raw) {
    const CK_RV rv = rawSign(s, t, *m, *key, result);
    if (rv != CKR_OK) return rv;
  } else {
    const BYTE container = key->container;
    const DWORD keySpec = key->keySpec;
    const DWORD rc = asUser(s.slot, t, [&] { return t.port->sign(container, keySpec, m->hashAlg, s.signData, result); });
    endSign(s);
    if (rc != 0) return cardFailure(s.slot, rc);
  }
  if (result.size() != size) return CKR_DEVICE_ERROR;
  std::memcpy(signature, result.data(), size);
  *length = size;
  return CKR_OK;
}

CK_RV signUpdate(Session& s, CK_BYTE_PTR part, CK_ULONG length) {
  if (s.digest) {
    if (EVP_DigestUpdate(s.digest.get(), part, length) != 1) return CKR_GENERAL_ERROR;
  } else {
    // Data signed as it is never exceeds a key's size (kept below the
    // bound, so the subtraction cannot wrap where a sum could).
    if (length > kMaxSignedData - s.signData.size()) return CKR_DATA_LEN_RANGE;
    if (s.signData.capacity() < kMaxSignedData) s.signData.reserve(kMaxSignedData);
    s.signData.insert(s.signData.end(), part, part + length);
  }
  return CKR_OK;
}

}  // namespace

}  // namespace vemra::p11

using namespace vemra::p11;

extern "C" {

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (s.signing) return CKR_OPERATION_ACTIVE;
    const Mechanism* m = findMechanism(pMechanism->mechanism);
    if (m == nullptr || (m->flags & CKF_SIGN) == 0) return CKR_MECHANISM_INVALID;
    const bool pss = m->scheme == Scheme::Pss;
    if (!pss && (pMechanism->pParameter != nullptr || pMechanism->ulParameterLen != 0)) {
      return CKR_MECHANISM_PARAM_INVALID;
    }
    const Object* key = nullptr;
    rv = operationKey(s, t, hKey, CKA_SIGN, key);
    if (rv != CKR_OK) return rv;
    if (pss && (rv = pssParams(*pMechanism, *m, *key, s.pss)) != CKR_OK) return rv;
    if (m->digest != nullptr) {
      s.digest.reset(EVP_MD_CTX_new());
      if (!s.digest || EVP_DigestInit_ex(s.digest.get(), EVP_get_digestbyname(m->digest), nullptr) != 1) {
        endSign(s);
        return CKR_HOST_MEMORY;
      }
    }
    s.signing = true;
    s.signMechanism = m->type;
    s.signKey = hKey;
    return CKR_OK;
  });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (!s.signing) return CKR_OPERATION_NOT_INITIALIZED;
    if ((pData == nullptr && ulDataLen != 0) || pulSignatureLen == nullptr) {
      endSign(s);
      return CKR_ARGUMENTS_BAD;
    }
    if (s.signUpdated) {
      endSign(s);
      return CKR_OPERATION_ACTIVE;
    }
    // A second call after a length query or a too small buffer must not
    // take the data in again.
    if (!s.digestDone && s.signData.empty()) {
      if (s.digest) {
        if (EVP_DigestUpdate(s.digest.get(), pData, ulDataLen) != 1) {
          endSign(s);
          return CKR_GENERAL_ERROR;
        }
        if (const CK_RV digested = finishDigest(s); digested != CKR_OK) return digested;
      } else {
        rv = signUpdate(s, pData, ulDataLen);
        if (rv != CKR_OK) {
          endSign(s);
          return rv;
        }
      }
    }
    return finishSign(s, t, pSignature, pulSignatureLen);
  });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return withSession(hSession, [&](Session& s, Token&) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (!s.signing) return CKR_OPERATION_NOT_INITIALIZED;
    if (pPart == nullptr && ulPartLen != 0) {
      endSign(s);
      return CKR_ARGUMENTS_BAD;
    }
    s.signUpdated = true;
    rv = signUpdate(s, pPart, ulPartLen);
    if (rv != CKR_OK) endSign(s);
    return rv;
  });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    if (!s.signing) return CKR_OPERATION_NOT_INITIALIZED;
    if (pulSignatureLen == nullptr) {
      endSign(s);
      return CKR_ARGUMENTS_BAD;
    }
    return finishSign(s, t, pSignature, pulSignatureLen);
  });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (s.decrypting) return CKR_OPERATION_ACTIVE;
    const Mechanism* m = findMechanism(pMechanism->mechanism);
    if (m == nullptr || (m->flags & CKF_DECRYPT) == 0) return CKR_MECHANISM_INVALID;
    OaepParams oaep;
    if (m->type == CKM_RSA_PKCS_OAEP) {
      rv = oaepParams(*pMechanism, oaep);
      if (rv != CKR_OK) return rv;
    } else if (pMechanism->pParameter != nullptr || pMechanism->ulParameterLen != 0) {
      return CKR_MECHANISM_PARAM_INVALID;
    }
    const Object* key = nullptr;
    rv = operationKey(s, t, hKey, CKA_DECRYPT, key);
    if (rv != CKR_OK) return rv;
    s.decrypting = true;
    s.decryptMechanism = m->type;
    s.decryptKey = hKey;
    s.oaep = std::move(oaep);
    return CKR_OK;
  });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    CK_RV rv = CKR_OK;
    if (!s.decrypting) return CKR_OPERATION_NOT_INITIALIZED;
    if (pEncryptedData == nullptr || pulDataLen == nullptr) {
      endDecrypt(s);
      return CKR_ARGUMENTS_BAD;
    }
    const Object* key = nullptr;
    rv = findObject(s, t, s.decryptKey, key);
    if (rv != CKR_OK) {
      endDecrypt(s);
      return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    }
    if (ulEncryptedDataLen != key->modulusBytes) {
      endDecrypt(s);
      return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    if (!s.plainReady) {
      // The plaintext's length is known only once the card has decrypted;
      // until then the key's size bounds it.
      if (pData == nullptr) {
        *pulDataLen = key->modulusBytes;
        return CKR_OK;
      }
      const Bytes block(pEncryptedData, pEncryptedData + ulEncryptedDataLen);
      const DWORD padding = s.decryptMechanism == CKM_RSA_PKCS_OAEP ? CARD_PADDING_OAEP : CARD_PADDING_PKCS1;
      const bool raw = s.decryptMechanism == CKM_RSA_X_509;
      if (raw && !belowModulus(*key, block)) {
        endDecrypt(s);
        return CKR_ENCRYPTED_DATA_INVALID;
      }
      const Object keyObject = *key;  // a renewed login may reload the objects
      const DWORD rc = asUser(s.slot, t, [&] {
        return raw ? rawOperation(*t.port, keyObject, block, s.plain)
                   : t.port->decrypt(keyObject.container, keyObject.keySpec, block, padding,
                                     padding == CARD_PADDING_OAEP ? &s.oaep : nullptr, s.plain);
      });
      if (rc != 0) {
        endDecrypt(s);
        // The unpad callback refuses a block without valid padding.
        return cardFailure(s.slot, rc, rc == SCARD_E_INVALID_PARAMETER ? CKR_ENCRYPTED_DATA_INVALID : CKR_DEVICE_ERROR);
      }
      s.plainReady = true;
    }
    if (pData == nullptr) {
      *pulDataLen = s.plain.size();
      return CKR_OK;
    }
    if (*pulDataLen < s.plain.size()) {
      *pulDataLen = s.plain.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    if (!s.plain.empty()) std::memcpy(pData, s.plain.data(), s.plain.size());
    *pulDataLen = s.plain.size();
    endDecrypt(s);
    return CKR_OK;
  });
}

}  // extern "C"
