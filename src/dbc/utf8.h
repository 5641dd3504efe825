// What a MySQL utf8 (three-byte, utf8mb3) column can hold: characters of one
// to three bytes, each a well-formed sequence. A client text with a
// four-byte character or bytes that are not UTF-8 makes the server refuse
// its row in strict mode.
#pragma once

#include <cstddef>
#include <string_view>

// Whether byte `c` starts a character (is no continuation byte).
inline bool StartsCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }
// The characters of UTF-8 `text` (its columns, for text without wide ones).
std::size_t CharacterCount(std::string_view text);

// The position of the first byte of `text` that starts no character a
// utf8mb3 column can hold, or `size` when every byte does.
std::size_t FirstUnstorableByte(const char* text, std::size_t size);

// What is wrong at `at`: "a four-byte character" or "bytes that are not
// UTF-8".
const char* UnstorableKind(const char* text, std::size_t size, std::size_t at);

// Whether `text` is well-formed UTF-8, four-byte characters included (what
// a utf8mb4 column holds).
bool IsUtf8(const char* text, std::size_t size);
