// Console: the one way the command line writes to stdout and stderr.
//
// Out and Err take UTF-8 text; Out also carries the raw item data of
// `arvelo print`. Both first take the status line (the progress of
// extraction, drawn on stderr when it is a terminal) off the screen, so
// that no message is ever written into the middle of it; Err draws it again
// below the message. Writing goes through Terminal.h, which is where another
// system's console would differ.
//
// Printable makes a stored name safe to show: an archive decides the bytes
// of its names, and a name must not be able to move the cursor or clear the
// screen. Control characters show as ^X (ESC as ^[, DEL as ^?), C1 controls
// and bytes that are not UTF-8 as <0xNN>.
#pragma once

#include <string>
#include <string_view>

#include "tools/Terminal.h"

namespace arvelo {

// Out is false when stdout refused the text (a full disk, a closed pipe).
bool Out(std::string_view Text);
void Err(std::string_view Text);

// The status line: shown only when stderr is a terminal and Enable(true)
// was called; the text is cut to the terminal's width here.
void EnableStatus(bool Enable);
// The columns a status line may take: the terminal's width less three, one
// so that a full line does not make the terminal wrap, two for the "^C" the
// terminal echoes at its end when Ctrl-C is pressed (a wrapped line could
// no longer be cleared).
int StatusColumns();
void ShowStatus(const std::string& Line);
void HideStatus();

// A question on the terminal (see term::AskTerminal), with the status
// line taken away first so that the prompt starts at the left margin.
// rrLine when a line was answered.
term::TReadResult Ask(const std::string& Prompt, bool Echo, std::string& Answer);

std::string Printable(std::string_view Name);
// Display width of UTF-8 text in terminal columns (one per code point;
// wide East Asian characters two).
int TextColumns(std::string_view Text);
// The longest head of Text that fits in Columns.
std::string FitColumns(std::string_view Text, int Columns);

} // namespace arvelo
