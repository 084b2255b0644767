// The card port over a CARD_DATA the driver has bound to a card: every
// request of the module becomes the driver's entry point with its record,
// through the record's slots, and the answer comes back in the module's
// terms (numbers most significant byte first, buffers from the provider's
// allocator released). Where the record comes from is the subclass's.
#ifndef VEMRA_P11_DRIVER_PORT_H
#define VEMRA_P11_DRIVER_PORT_H

#include <optional>
#include <string>

#include "card_port.h"

namespace vemra::p11 {

// The RSA public key of a PUBLICKEYBLOB; none for a blob that is not one or
// is shorter than its bit length says.
std::optional<RsaPublic> fromBlob(const BYTE* blob, DWORD length);

class DriverPort : public CardPort {
 public:
  DWORD readFile(const std::string& dir, const std::string& name, Bytes& out) override;
  DWORD writeFile(const std::string& dir, const std::string& name, const Bytes& content) override;
  DWORD createFile(const std::string& dir, const std::string& name, DWORD size) override;
  DWORD deleteFile(const std::string& dir, const std::string& name) override;
  DWORD serialNumber(Bytes& out) override;
  DWORD keySizes(DWORD& minimumBits, DWORD& maximumBits) override;
  DWORD maxContainers(DWORD& count) override;
  DWORD authenticateUser(const Bytes& pin, DWORD& attempts) override;
  DWORD challenge(Bytes& out) override;
  DWORD answerChallenge(const Bytes& response, DWORD& attempts) override;
  DWORD deauthenticate(PIN_SET roles) override;
  DWORD changePin(const Bytes& current, const Bytes& next, DWORD& attempts) override;
  DWORD unblockPin(const Bytes& response, const Bytes& next) override;
  DWORD changeAdminKey(const Bytes& response, const Bytes& next) override;
  DWORD containerKeys(BYTE index, ContainerKeys& out) override;
  DWORD importKey(BYTE index, DWORD keySpec, const Bytes& privateKeyBlob, DWORD bits) override;
  DWORD deleteContainer(BYTE index) override;
  DWORD sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) override;
  DWORD decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const OaepParams* oaep,
                Bytes& out) override;

 protected:
  // The bound record every call goes through.
  virtual CARD_DATA* cd() = 0;
};

}  // namespace vemra::p11

#endif  // VEMRA_P11_DRIVER_PORT_H
