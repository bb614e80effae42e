// Faults the simulator's network link can show: forced answer words, missing
// or late answers, a data connection that breaks after some bytes, damaged
// units on the data connection. Faults of the device itself (never ready,
// refused login, corrupted check bytes ...) belong to the model (TSimFaults).
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// Requests of the control port, as a bit set so a fault can aim at some of them.
enum TSimRequestKind : uint8_t {
  srkConnect = 0x01,
  srkDisconn = 0x02,
  srkTry = 0x04,
  srkCmd = 0x08,
  srkBlock = 0x10,  // the block header; the final answer after the data is not affected
  srkSetPort = 0x20,
  srkAll = 0x3F,
};

// How often a fault fires among the requests it aims at.
struct TSimFaultRule {
  int Count = 0;           // 0: off; n > 0: the next n matching requests; -1: always
  uint8_t Kinds = srkAll;  // which requests it aims at

  bool Applies(TSimRequestKind kind) const { return Count != 0 && (Kinds & kind) != 0; }
  // Uses up one firing; true when the fault fires for this request.
  bool Fire(TSimRequestKind kind) {
    if (!Applies(kind)) return false;
    if (Count > 0) --Count;
    return true;
  }
};

struct TSimLinkFaults {
  // Forced answer words (the request is not carried out).
  TSimFaultRule AnswerAb{0, srkConnect};         // "ab" with the user table
  TSimFaultRule AnswerBu{0, srkCmd | srkBlock};  // "bu"
  TSimFaultRule AnswerFe{0, srkAll};             // FeText
  TSimFaultRule AnswerTa{0, srkConnect};         // "ta"
  std::string FeText = "fe";                     // any text beginning with "fe"
  // The request is read and carried out, but no answer is sent.
  TSimFaultRule NoAnswer{0, srkAll};
  // The answer is sent late, after SlowAnswerMs (past the 100 ms CONNECT window by default).
  TSimFaultRule SlowAnswer{0, srkConnect};
  uint32_t SlowAnswerMs = 150;
  // A data connection, when it is made, is dropped once DropAfterBytes bytes went out
  // (the unit in flight is cut). Kinds is ignored.
  TSimFaultRule DropData{0, srkAll};
  uint32_t DropAfterBytes = 0;
  // The next units on the data connection go out with a damaged magic (CDC block
  // header of a ColdFire device, record of an ESP device). Kinds is ignored.
  TSimFaultRule CorruptUnit{0, srkAll};
  // The answer after the data of a block transfer is FinalText instead of
  // "ok"/"er" (the data is taken all the same); an empty text: no answer.
  TSimFaultRule FinalAnswer{0, srkBlock};
  std::string FinalText = "er";
};

// One fault at one step of a run: "at request k, do X". Requests of the
// control port are counted from 1 since the fault was set.
enum class TSimStepAction : uint8_t {
  None,
  DropControl,    // the control connection is closed unanswered; the request is not carried out
  AnswerEr,       // answered "er"; the request is not carried out
  Silent,         // no answer, the request is not carried out; the connection stays open
  CloseData,      // carried out and answered, then the session's data connection is closed
  Restart,        // answered "ok" but not carried out, then the device restarts (a crash
                  // after the acknowledgement: a programmer that fails looks like this)
  CorruptAnswer,  // carried out and answered; the device's next output goes out damaged
};

struct TSimStepFault {
  uint32_t At = 0;  // 0: off
  TSimStepAction Action = TSimStepAction::None;
  uint8_t Kinds = srkAll;  // the requests that are counted
};

// Text form "at:K:ACTION[@KINDS]": ACTION is drop, er, silent, close-data,
// restart or corrupt; KINDS a comma list of connect, disconn, try, cmd,
// block, setport, all. False with the reason when the text is not one.
bool ParseSimStepFault(const std::string &text, TSimStepFault &fault, std::string &error);
// A comma list of request kinds, as above.
bool ParseSimRequestKinds(const std::string &text, uint8_t &kinds, std::string &error);
// The action's name in the text form.
const char *SimStepActionName(TSimStepAction action);

// One piece of a block transfer's data as the device read it, and the time
// since the previous piece (the first: since the header was answered).
struct TSimBlockPiece {
  uint32_t Size = 0;
  uint32_t GapUs = 0;
};

}  // namespace zor
