// Terminal: what the command line needs from the console it runs in, and
// nothing more.
//
// Everything that depends on the kind of console (termios, window size,
// signals, the controlling terminal) stays behind these few calls, so that a
// build for another system supplies its own source for them and the
// commands do not change. The POSIX source is TerminalPosix.cpp.
//
// Text reaches stdout and stderr only through Console (Console.h), which
// calls WriteText here; the status line is drawn and cleared only through
// DrawStatus and ClearStatus, which Console coordinates with the text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace arvelo::term {

enum class TChannel { chIn, chOut, chErr };

// Whether the channel is a terminal (then a status line may be drawn there).
bool IsTerminal(TChannel Channel);
// Writes UTF-8 text (or, for chOut, raw item data) as it stands; false
// when the channel refused it (rtl::LastOSError tells why).
bool WriteText(TChannel Channel, std::string_view Text);
// Columns of the terminal on stderr (re-read after each window change), 80
// when it cannot be told.
int Width();

// The status line on stderr: drawn in place over the previous one, cleared
// without leaving a trace. Text must already fit Width().
void DrawStatus(std::string_view Line);
void ClearStatus();

enum class TReadResult { rrLine, rrNoTerminal, rrEnd, rrInterrupted };
// Asks on the controlling terminal (not stdin, which may carry data) and
// reads one line without its end. Without echo the terminal's state is put
// back before returning, also when an interrupt ends the read.
TReadResult AskTerminal(const std::string& Prompt, bool Echo, std::string& Answer);

// Interrupts (Ctrl-C, hang-up, termination): the first one is remembered
// for the commands to stop at the next item boundary or progress step; a
// second one restores the terminal, clears the status line and ends the
// program at once with InterruptedExitStatus.
void InstallInterruptHandlers(int InterruptedExitStatus);
bool Interrupted();

} // namespace arvelo::term
