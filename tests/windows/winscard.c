/*
 * A test-only winscard.dll for running the Windows driver under Wine, whose
 * own winscard.dll is a stub. It is its own virtual reader: it plays the
 * reader side of the vsmartcard-vpcd protocol on a loopback TCP port, and
 * the simulated card's bridge (vemra-vcard) connects to it as the card.
 *
 * Framing on the connection, both ways: a two-byte big-endian length, then
 * that many bytes. From the reader, a one-byte payload is a control byte
 * (0 power off, 1 power on, 2 reset, 4 send the ATR), anything longer a
 * command APDU; the card answers the ATR request with its ATR and every
 * command with the response APDU, and sends nothing for the other controls.
 *
 * SCardEstablishContext listens on 127.0.0.1, on the port given by the
 * environment variable VEMRA_VPCD_PORT (0 or unset: a port the system
 * chooses), prints "vpcd listening on port N" to stderr and waits up to
 * VEMRA_VPCD_ACCEPT_SECONDS (default 60) for the bridge.
 *
 * The reader also checks the caller's discipline, as the driver promises it:
 * every SCardTransmit inside a transaction, T=0 framing, every transaction
 * ended with SCARD_LEAVE_CARD, none left open at SCardDisconnect. A breach
 * makes the call itself fail, and SCardDisconnect fails with
 * SCARD_E_NOT_TRANSACTED when a transaction was left open or a command was
 * sent outside one, so the test program sees it.
 */
/* This DLL defines the protocol control records that <winscard.h> declares
 * as imported. */
#define WINSCARDDATA
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

enum { kControlOff = 0, kControlOn = 1, kControlReset = 2, kControlAtr = 4 };
enum { kMaxFrame = 0xFFFF, kMaxAtr = 33 };

static const SCARDCONTEXT kContext = 0x5C0;
static const SCARDHANDLE kCard = 0xCA7D;
static const char kReaderName[] = "Vemra Virtual Reader 0";

/* The one reader this DLL serves, and what it has seen of the caller. */
static struct {
  SOCKET listener;
  SOCKET card;
  BOOL connected;
  int transactionDepth;
  unsigned commandsOutsideTransaction;
} reader = {INVALID_SOCKET, INVALID_SOCKET, FALSE, 0, 0};

/* Sends the whole buffer; FALSE when the connection failed. */
static BOOL sendAll(const BYTE *data, int length) {
  while (length > 0) {
    const int sent = send(reader.card, (const char *)data, length, 0);
    if (sent <= 0) return FALSE;
    data += sent;
    length -= sent;
  }
  return TRUE;
}

/* Receives exactly `length` bytes; FALSE when the connection failed or timed out. */
static BOOL receiveAll(BYTE *data, int length) {
  while (length > 0) {
    const int received = recv(reader.card, (char *)data, length, 0);
    if (received <= 0) return FALSE;
    data += received;
    length -= received;
  }
  return TRUE;
}

/* Sends one frame: the two-byte big-endian length, then the payload, in one
 * write (a command is at most 5 + 255 bytes, a control byte one). */
static BOOL sendFrame(const BYTE *payload, DWORD length) {
  BYTE frame[2 + 261];
  if (length > sizeof frame - 2) return FALSE;
  frame[0] = (BYTE)(length >> 8);
  frame[1] = (BYTE)length;
  memcpy(frame + 2, payload, length);
  return sendAll(frame, (int)(2 + length));
}

/* Receives one frame into `payload` (capacity `capacity`); its length goes to
 * `length`. A frame larger than the buffer is read to its end and refused. */
static LONG receiveFrame(BYTE *payload, DWORD capacity, DWORD *length) {
  BYTE header[2];
  DWORD size;
  if (!receiveAll(header, 2)) return SCARD_F_COMM_ERROR;
  size = ((DWORD)header[0] << 8) | header[1];
  if (size > capacity) {
    BYTE discard[256];
    DWORD left = size;
    while (left > 0) {
      const DWORD chunk = left < sizeof discard ? left : (DWORD)sizeof discard;
      if (!receiveAll(discard, (int)chunk)) return SCARD_F_COMM_ERROR;
      left -= chunk;
    }
    *length = size;
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  if (!receiveAll(payload, (int)size)) return SCARD_F_COMM_ERROR;
  *length = size;
  return SCARD_S_SUCCESS;
}

static BOOL sendControl(BYTE control) { return sendFrame(&control, 1); }

static void closeSockets(void) {
  if (reader.card != INVALID_SOCKET) closesocket(reader.card);
  if (reader.listener != INVALID_SOCKET) closesocket(reader.listener);
  reader.card = INVALID_SOCKET;
  reader.listener = INVALID_SOCKET;
  reader.connected = FALSE;
}

static DWORD environmentNumber(const char *name, DWORD fallback) {
  const char *text = getenv(name);
  if (text == NULL || *text == '\0') return fallback;
  return (DWORD)strtoul(text, NULL, 10);
}

/* Opens the listening socket, announces its port and accepts the bridge. */
static LONG acceptCard(void) {
  WSADATA wsa;
  struct sockaddr_in address;
  int addressLength = sizeof address;
  fd_set ready;
  struct timeval wait;
  DWORD timeout;
  const BOOL noDelay = TRUE;

  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return SCARD_E_NO_SERVICE;
  reader.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (reader.listener == INVALID_SOCKET) return SCARD_E_NO_SERVICE;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((u_short)environmentNumber("VEMRA_VPCD_PORT", 0));
  if (bind(reader.listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(reader.listener, 1) != 0 ||
      getsockname(reader.listener, (struct sockaddr *)&address, &addressLength) != 0) {
    closeSockets();
    return SCARD_E_NO_SERVICE;
  }
  fprintf(stderr, "vpcd listening on port %u\n", (unsigned)ntohs(address.sin_port));
  fflush(stderr);

  FD_ZERO(&ready);
  FD_SET(reader.listener, &ready);
  wait.tv_sec = (long)environmentNumber("VEMRA_VPCD_ACCEPT_SECONDS", 60);
  wait.tv_usec = 0;
  if (select(0, &ready, NULL, NULL, &wait) != 1) {
    closeSockets();
    return SCARD_E_NO_SMARTCARD;
  }
  reader.card = accept(reader.listener, NULL, NULL);
  if (reader.card == INVALID_SOCKET) {
    closeSockets();
    return SCARD_E_NO_SMARTCARD;
  }
  timeout = 30000; /* a card that does not answer within 30 s is gone */
  setsockopt(reader.card, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
  /* One small frame each way per command: without this, delayed
   * acknowledgements cost tens of milliseconds per command. */
  setsockopt(reader.card, IPPROTO_TCP, TCP_NODELAY, (const char *)&noDelay, sizeof noDelay);
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                  LPSCARDCONTEXT phContext) {
  LONG rc;
  (void)dwScope;
  (void)pvReserved1;
  (void)pvReserved2;
  if (phContext == NULL) return SCARD_E_INVALID_PARAMETER;
  if (reader.card == INVALID_SOCKET && (rc = acceptCard()) != SCARD_S_SUCCESS) return rc;
  *phContext = kContext;
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
  if (hContext != kContext) return SCARD_E_INVALID_HANDLE;
  closeSockets();
  WSACleanup();
  return SCARD_S_SUCCESS;
}

static LONG connectCard(SCARDCONTEXT hContext, DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                        LPDWORD pdwActiveProtocol) {
  if (hContext != kContext) return SCARD_E_INVALID_HANDLE;
  if (phCard == NULL || pdwActiveProtocol == NULL) return SCARD_E_INVALID_PARAMETER;
  if ((dwPreferredProtocols & SCARD_PROTOCOL_T0) == 0) return SCARD_E_PROTO_MISMATCH;
  if (reader.card == INVALID_SOCKET) return SCARD_E_NO_SMARTCARD;
  if (!sendControl(kControlOn)) return SCARD_F_COMM_ERROR;
  reader.connected = TRUE;
  reader.transactionDepth = 0;
  reader.commandsOutsideTransaction = 0;
  *phCard = kCard;
  *pdwActiveProtocol = SCARD_PROTOCOL_T0;
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
  (void)szReader;
  (void)dwShareMode;
  return connectCard(hContext, dwPreferredProtocols, phCard, pdwActiveProtocol);
}

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
  (void)szReader;
  (void)dwShareMode;
  return connectCard(hContext, dwPreferredProtocols, phCard, pdwActiveProtocol);
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  const BOOL balanced = reader.transactionDepth == 0 && reader.commandsOutsideTransaction == 0;
  (void)dwDisposition;
  if (hCard != kCard || !reader.connected) return SCARD_E_INVALID_HANDLE;
  reader.connected = FALSE;
  if (!sendControl(kControlOff)) return SCARD_F_COMM_ERROR;
  if (!balanced) {
    fprintf(stderr, "vpcd: %d transaction(s) left open, %u command(s) sent outside a transaction\n",
            reader.transactionDepth, reader.commandsOutsideTransaction);
    return SCARD_E_NOT_TRANSACTED;
  }
  return SCARD_S_SUCCESS;
}

/* Asks the card for its ATR and stores it in pbAtr (capacity *pcbAtrLen). */
static LONG readAtr(LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  BYTE atr[kMaxAtr];
  DWORD length = 0;
  LONG rc;
  if (!sendControl(kControlAtr)) return SCARD_F_COMM_ERROR;
  if ((rc = receiveFrame(atr, sizeof atr, &length)) != SCARD_S_SUCCESS) return rc;
  if (pcbAtrLen == NULL) return SCARD_S_SUCCESS;
  if (pbAtr != NULL) {
    if (*pcbAtrLen < length) {
      *pcbAtrLen = length;
      return SCARD_E_INSUFFICIENT_BUFFER;
    }
    memcpy(pbAtr, atr, length);
  }
  *pcbAtrLen = length;
  return SCARD_S_SUCCESS;
}

static LONG status(SCARDHANDLE hCard, LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  if (hCard != kCard || !reader.connected) return SCARD_E_INVALID_HANDLE;
  if (pdwState != NULL) *pdwState = SCARD_SPECIFIC;
  if (pdwProtocol != NULL) *pdwProtocol = SCARD_PROTOCOL_T0;
  return readAtr(pbAtr, pcbAtrLen);
}

LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  if (pcchReaderLen != NULL) {
    const DWORD needed = (DWORD)sizeof kReaderName + 1; /* a multi-string: two terminators */
    if (szReaderName != NULL) {
      if (*pcchReaderLen < needed) return SCARD_E_INSUFFICIENT_BUFFER;
      memcpy(szReaderName, kReaderName, sizeof kReaderName);
      szReaderName[sizeof kReaderName] = '\0';
    }
    *pcchReaderLen = needed;
  }
  return status(hCard, pdwState, pdwProtocol, pbAtr, pcbAtrLen);
}

LONG WINAPI SCardStatusW(SCARDHANDLE hCard, LPWSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  if (pcchReaderLen != NULL) {
    const DWORD needed = (DWORD)sizeof kReaderName + 1;
    if (szReaderName != NULL) {
      DWORD i;
      if (*pcchReaderLen < needed) return SCARD_E_INSUFFICIENT_BUFFER;
      for (i = 0; i < sizeof kReaderName; ++i) szReaderName[i] = (WCHAR)(unsigned char)kReaderName[i];
      szReaderName[sizeof kReaderName] = 0;
    }
    *pcchReaderLen = needed;
  }
  return status(hCard, pdwState, pdwProtocol, pbAtr, pcbAtrLen);
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard) {
  if (hCard != kCard || !reader.connected) return SCARD_E_INVALID_HANDLE;
  ++reader.transactionDepth;
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  if (hCard != kCard || !reader.connected) return SCARD_E_INVALID_HANDLE;
  if (reader.transactionDepth == 0) return SCARD_E_NOT_TRANSACTED;
  if (dwDisposition != SCARD_LEAVE_CARD) return SCARD_E_INVALID_VALUE;
  --reader.transactionDepth;
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength) {
  BYTE response[kMaxFrame];
  DWORD length = 0;
  LONG rc;
  (void)pioRecvPci;
  if (hCard != kCard || !reader.connected) return SCARD_E_INVALID_HANDLE;
  if (pioSendPci == NULL || pioSendPci->dwProtocol != SCARD_PROTOCOL_T0) return SCARD_E_PROTO_MISMATCH;
  /* A T=0 command is at least a four-byte header; one byte would read as a control. */
  if (pbSendBuffer == NULL || cbSendLength < 4 || cbSendLength > 5 + 256 || pbRecvBuffer == NULL ||
      pcbRecvLength == NULL)
    return SCARD_E_INVALID_PARAMETER;
  if (reader.transactionDepth == 0) ++reader.commandsOutsideTransaction;
  if (!sendFrame(pbSendBuffer, cbSendLength)) return SCARD_F_COMM_ERROR;
  if ((rc = receiveFrame(response, sizeof response, &length)) != SCARD_S_SUCCESS) return rc;
  if (length > *pcbRecvLength) {
    *pcbRecvLength = length;
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  memcpy(pbRecvBuffer, response, length);
  *pcbRecvLength = length;
  return SCARD_S_SUCCESS;
}
