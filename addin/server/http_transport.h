// The HTTP transport (modWinInet): one form-encoded POST to the web mail request
// servlet, answered by a text. One libcurl easy handle per call, no connection
// reuse. The only state shared between calls is the cookie store: libcurl's
// cookie engine on one share object for the whole process, so the session cookie
// that the server sets at login goes back with every later request.
//
// Time-outs (none are imposed by the protocol; a hung server must not hang
// the host): the rules of request_limits.h, by the request's command and
// size. While it waits, a call shows whom it waits for through the front end
// ("Connecting to HOST ...") and ends at once when the person cancels.
//
// Called on the host's user-interface thread; the cookie store is locked, so
// calls from other threads are safe too.
#ifndef QVSYNC_SERVER_HTTP_TRANSPORT_H
#define QVSYNC_SERVER_HTTP_TRANSPORT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "addin/server/request_limits.h"

namespace qvsync {

// The numbers the limits of every request are made from (tests shorten them).
void SetTransportTimeouts(const TransportTimeouts& timeouts);
TransportTimeouts GetTransportTimeouts();

// POSTs `body` (UTF-8; sent in the system code page) to `path` on `host` and
// returns the reply text. `host` is a name or address, optionally followed by
// ":port" (default port 80). Sends the agent "http generic", the headers
// "Content-Type: application/x-www-form-urlencoded" and "Quorvia-SessionId: "
// with the session cookie's value (empty before login), and the HTTP version
// `httpVersion` ("HTTP/1.0"; anything else, empty included, is HTTP/1.1).
// Proxies come from the environment (http_proxy, no_proxy).
//
// Results: errorCode/errorMessage are 0/"" unless one of these happened:
//   host not resolvable: 12007, "Could not resolve the server name. Check the
//     server details entered.", empty reply;
//   a wait cut short (no connection, the server's silence or its whole answer
//     beyond their limits, or cancelled by the person): 12002 or 12017 and a
//     message that names the cause (request_limits.h), empty reply;
//   any other failure to send or to get an answer: its number in
//     "Could not connect to server (error N). Check the server details entered.",
//     empty reply;
//   status 404: 404 and the page-not-found text, empty reply.
// Every other status is a reply (an HTML error page included). A request that
// cannot even be formed (empty or malformed host) returns "" with 0/"".
// The reply is decoded as UTF-8; a byte that is not part of a well-formed
// UTF-8 character is read in the system code page. A read that breaks off after the answer has begun ends the reply with
// what has arrived.
std::string HttpPost(std::string_view host, std::string_view path, std::string_view body,
                     std::string_view httpVersion, int32_t& errorCode, std::string& errorMessage);

// The value of the cookie `name` that the store holds for `url`
// ("http://host[:port]/path"), or "" when there is none. Of several matching
// cookies the one with the longest path wins.
std::string GetSessionCookie(std::string_view url, std::string_view name);

// Forgets every cookie (a new session, as after a restart of the host).
void ClearCookieStore();

}  // namespace qvsync

#endif
