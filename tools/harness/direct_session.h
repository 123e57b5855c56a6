// What the real-stack and real-client tests compare the plug-in with: the
// demo session's calls made directly with this process's libpcsclite, the
// session itself run against a daemon double, and the demo program run as a
// user runs it.
#pragma once

#include <reader.h>
#include <sys/wait.h>
#include <winscard.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/daemon_double.h"
#include "tools/demo/session.h"
#include "tools/harness/real_peer.h"
#include "tools/pcsc_backend.h"

namespace scredir::tools {

// The session's calls on `reader`, made directly. Failures show up as
// differences from what the plug-in carried.
inline demo::SessionRecord DirectCalls(const std::string& reader) {
  demo::SessionRecord d;
  SCARDCONTEXT context = 0;
  EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  char names[4096];
  DWORD namesLength = sizeof names;
  if (SCardListReaders(context, nullptr, names, &namesLength) == SCARD_S_SUCCESS)
    d.readers = SplitMultiString(names, namesLength);

  SCARD_READERSTATE slot{};
  slot.szReader = reader.c_str();
  slot.dwCurrentState = SCARD_STATE_UNAWARE;
  if (SCardGetStatusChange(context, 0, &slot, 1) == SCARD_S_SUCCESS) {
    d.readerEventState = static_cast<uint32_t>(slot.dwEventState);
    d.readerAtr.assign(slot.rgbAtr, slot.rgbAtr + slot.cbAtr);
  }

  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  EXPECT_EQ(SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_S_SUCCESS);
  d.activeProtocol = static_cast<uint32_t>(protocol);

  DWORD nameLength = sizeof names, state = 0, statusProtocol = 0;
  BYTE atr[MAX_ATR_SIZE];
  DWORD atrLength = sizeof atr;
  if (SCardStatus(card, names, &nameLength, &state, &statusProtocol, atr, &atrLength) ==
      SCARD_S_SUCCESS) {
    d.statusReaderNames = SplitMultiString(names, nameLength);
    d.statusState = static_cast<uint32_t>(state);
    d.statusProtocol = static_cast<uint32_t>(statusProtocol);
    d.statusAtr.assign(atr, atr + atrLength);
  }

  SCARD_IO_REQUEST pci{protocol, sizeof(SCARD_IO_REQUEST)};
  for (const demo::ApduSpec& apdu : demo::SessionApdus()) {
    BYTE response[258];
    DWORD length = sizeof response;
    LONG rv = SCardTransmit(card, &pci, apdu.command.data(), apdu.command.size(), nullptr, response,
                            &length);
    d.apdus.push_back({apdu.label, apdu.command, static_cast<uint32_t>(rv),
                       rv == SCARD_S_SUCCESS ? Bytes(response, response + length) : Bytes()});
  }

  BYTE attrib[MAX_BUFFER_SIZE];
  DWORD attribLength = sizeof attrib;
  d.attribRv =
      static_cast<uint32_t>(SCardGetAttrib(card, SCARD_ATTR_ATR_STRING, attrib, &attribLength));
  if (d.attribRv == SCARD_S_SUCCESS) d.attrib.assign(attrib, attrib + attribLength);

  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return d;
}

// The demo session against a daemon double, its transcript printed.
struct SessionRun {
  demo::SessionOutcome Run(DaemonDouble& daemon, std::chrono::milliseconds stepTimeout,
                           std::function<void(const std::string&)> beforeStep = {}) {
    demo::SessionOptions options;
    options.stepTimeout = stepTimeout;
    options.cardWait = stepTimeout;
    options.beforeStep = std::move(beforeStep);
    session = std::make_unique<demo::DemoSession>(daemon, transcript, options);
    demo::SessionOutcome outcome = session->Run();
    std::cout << transcript.str();
    return outcome;
  }

  std::ostringstream transcript;
  std::unique_ptr<demo::DemoSession> session;
};

// Runs the demo program `demo` with `args`, its files in `workDir`, and
// checks that it succeeds and says each of `says`.
inline void ExpectDemoProgramSays(const std::string& demo, const std::string& workDir,
                                  const std::string& args, std::vector<std::string> says) {
  int status = -1;
  const std::string output =
      RunCommand("TMPDIR='" + workDir + "' '" + demo + "' " + args + " 2>&1", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  for (const std::string& text : says)
    EXPECT_NE(output.find(text), std::string::npos) << "missing: " << text << "\n" << output;
}

}  // namespace scredir::tools
