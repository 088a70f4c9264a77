// The HTTP exchange of the fuzz builds: instead of posting, each exchange
// takes the next reply body prepared by the fuzz target, so replies can be
// fed to the server client without any network. Once the prepared bodies are
// used up, exchanges fail as if the server could not be reached.
#pragma once

#include <string>
#include <vector>

namespace qx::fuzz {

// Replaces the replies still pending.
void SetReplies(std::vector<std::string> aBodies);
// Number of exchanges made since the last SetReplies.
size_t ExchangeCount();

// Splits fuzzer input into pieces at form feeds ("\f"), one piece per reply.
std::vector<std::string> SplitPieces(const unsigned char* aData, size_t aSize);

}  // namespace qx::fuzz
