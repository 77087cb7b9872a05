// A structural check of a Standard MIDI File, run before stk::MidiFileIn sees it. The
// reader trusts the header and chunk lengths: a file that declares no track crashes its
// constructor, and a track length pointing back at its own chunk, with a track count of
// 32768 or more, makes it re-read that chunk for billions of passes. The check walks the
// header, the declared tracks and their events the way the reader will, within the
// bytes of the file. It reads the file only, so it is safe from any thread.
#pragma once

#include <string>

// True when the file at path is a Standard MIDI File whose every chunk and event lies
// inside the file, so the reader can never run past its end; *why says what is wrong.
// Besides chunks and events that run past their end, refuses: a header other than "MThd"
// of length 6 or more; format above 2; no track, more than one in format 0, or more than
// 32767; a division of 0 ticks; a delta time or length longer than 4 bytes; a data byte
// with no status before it (at a track's start or after a meta or SysEx event); status
// bytes F1 to FE other than F7; a tempo event whose length is not 3. No End of Track
// event is required, and bytes after the declared tracks are not looked at: the reader
// needs neither.
bool IsWellFormedMidiFile(const std::string& path, std::string* why);
