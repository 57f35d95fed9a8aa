// The update server's replies: one function from the query parameters of a
// request to the text body. Every refusal is a body whose first line does
// not begin with "ok".
#ifndef KORVEX_UPDATE_SERVER_ANSWERS_H
#define KORVEX_UPDATE_SERVER_ANSWERS_H

#include <ctime>
#include <map>
#include <string>

#include "tools/korvex-update-server/Repository.h"
#include "tools/korvex-update-server/Token.h"

namespace kus {

using Query = std::multimap<std::string, std::string>;

struct AnswerContext {
  const Repository& repository;
  const TokenSigner& signer;
  long tokenLifetimeSeconds;
  std::time_t now;
};

// The reply body for one request (query parameters already URL-decoded).
std::string Answer(const AnswerContext& context, const Query& query);

}  // namespace kus

#endif
