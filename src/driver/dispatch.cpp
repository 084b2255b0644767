#include "driver/dispatch.h"

#include "common/entry_points.h"

namespace vemra::driver {
namespace {

void fillVersion4(CARD_DATA& d) {
  d.pfnCardDeleteContext = CardDeleteContext;
  d.pfnCardQueryCapabilities = CardQueryCapabilities;
  d.pfnCardDeleteContainer = CardDeleteContainer;
  d.pfnCardCreateContainer = CardCreateContainer;
  d.pfnCardGetContainerInfo = CardGetContainerInfo;
  d.pfnCardAuthenticatePin = CardAuthenticatePin;
  d.pfnCardGetChallenge = CardGetChallenge;
  d.pfnCardAuthenticateChallenge = CardAuthenticateChallenge;
  d.pfnCardUnblockPin = CardUnblockPin;
  d.pfnCardChangeAuthenticator = CardChangeAuthenticator;
  d.pfnCardDeauthenticate = CardDeauthenticate;
  d.pfnCardCreateDirectory = CardCreateDirectory;
  d.pfnCardDeleteDirectory = CardDeleteDirectory;
  d.pfnCardCreateFile = CardCreateFile;
  d.pfnCardReadFile = CardReadFile;
  d.pfnCardWriteFile = CardWriteFile;
  d.pfnCardDeleteFile = CardDeleteFile;
  d.pfnCardEnumFiles = CardEnumFiles;
  d.pfnCardGetFileInfo = CardGetFileInfo;
  d.pfnCardQueryFreeSpace = CardQueryFreeSpace;
  d.pfnCardQueryKeySizes = CardQueryKeySizes;
  d.pfnCardSignData = CardSignData;
  d.pfnCardRSADecrypt = CardRSADecrypt;
  d.pfnCardConstructDHAgreement = nullptr;
}

void fillVersion5(CARD_DATA& d) {
  d.pfnCardDeriveKey = nullptr;
  d.pfnCardDestroyDHAgreement = nullptr;
  d.pfnCspGetDHAgreement = nullptr;
}

void fillVersion6(CARD_DATA& d) {
  d.pfnCardGetChallengeEx = CardGetChallengeEx;
  d.pfnCardAuthenticateEx = CardAuthenticateEx;
  d.pfnCardChangeAuthenticatorEx = CardChangeAuthenticatorEx;
  d.pfnCardDeauthenticateEx = CardDeauthenticateEx;
  d.pfnCardGetContainerProperty = CardGetContainerProperty;
  d.pfnCardSetContainerProperty = CardSetContainerProperty;
  d.pfnCardGetProperty = CardGetProperty;
  d.pfnCardSetProperty = CardSetProperty;
}

void fillVersion7(CARD_DATA& d) {
  d.pfnMDImportSessionKey = MDImportSessionKey;
  d.pfnMDEncryptData = MDEncryptData;
  d.pfnCardImportSessionKey = CardImportSessionKey;
  d.pfnCardGetSharedKeyHandle = CardGetSharedKeyHandle;
  d.pfnCardGetAlgorithmProperty = CardGetAlgorithmProperty;
  d.pfnCardGetKeyProperty = CardGetKeyProperty;
  d.pfnCardSetKeyProperty = CardSetKeyProperty;
  d.pfnCardDestroyKey = CardDestroyKey;
  d.pfnCardProcessEncryptedData = CardProcessEncryptedData;
  d.pfnCardCreateContainerEx = CardCreateContainerEx;
}

}  // namespace

void fillDispatchTable(CARD_DATA& cardData, DWORD version) {
  if (version >= 4) fillVersion4(cardData);
  if (version >= 5) fillVersion5(cardData);
  if (version >= 6) fillVersion6(cardData);
  if (version >= 7) fillVersion7(cardData);
}

}  // namespace vemra::driver
