#pragma once
// The radio link: the one port that talks to the radio, programming-mode
// entry and exit, and the report of a link lost during a block transfer.

#include "serial/basComm.h"

#include <QByteArray>
#include <array>
#include <cstdint>
#include <functional>

namespace Module1 {

// The 7 printable bytes the radio takes as the request for programming mode.
inline constexpr std::array<char, 7> AccessCode{'C', 'A', 'L', 'T', 'U', 'N', 'E'};

inline constexpr std::uint8_t Ack = 0x06;
inline constexpr std::uint8_t ExitCommand = 'E';
inline constexpr std::uint8_t ExitReply = 'f';

inline constexpr int ShortRetryBudget = 3;   // Read: 4 attempts
inline constexpr int LongRetryBudget = 10;   // Write: 11 attempts
inline constexpr int ExitAttempts = 4;
inline constexpr float EntryWaitMs = 0.1f;
inline constexpr float ExitWaitMs = 1.0f;

enum EntryResult { Acknowledged = 0, NoReply = 1, OtherReply = 2 };

bool IsAck(const QByteArray &reply);
// What one reply to the access code means; a first byte of 0 is no reply.
EntryResult JudgeEntryReply(const QByteArray &reply);

extern basComm::ComHandle RadioPort;   // 0 while no port is open

// 0 when the port is open in RadioPort, 1 when it cannot be opened.
int OpenRadioPort(std::int16_t port);
// The same for a device path.
int OpenRadioDevice(const QString &device);

// Sends the access code until the radio answers 0x06, in 1 + retryBudget
// attempts. The result describes the last attempt.
int EnterProgramMode(basComm::ComHandle port, std::array<std::uint8_t, 11> &codeBuffer,
                     int retryBudget);

// Sends "E" until "f" comes back, 4 attempts; the answer is not reported.
void LeaveProgramMode();

// Harmless when the port is already closed.
void CloseRadioPort();

// Tells the user the link was lost, closes the port and gives the window
// back, in that order. The window installs what "tell" and "give back" mean.
struct LinkLostUi {
    std::function<void()> showMessage;
    std::function<void()> giveBackWindow;
};
void SetLinkLostUi(LinkLostUi ui);
void ReportLinkLost();

} // namespace Module1
