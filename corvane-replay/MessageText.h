// Server messages as text, one field a line, for the report of a replay
// that went differently from its journal.
#ifndef CORVANE_REPLAY_MESSAGETEXT_H
#define CORVANE_REPLAY_MESSAGETEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The message's name and its fields: EasyDemo's and the host's messages
// field by field, anything else (or a body too short for its fields) as hex.
std::vector<std::string> DescribeMessage(std::string_view bytes);

std::string HexBytes(std::string_view bytes, std::size_t limit = 64);
std::string JoinIds(const std::vector<uint32_t>& ids);

#endif
