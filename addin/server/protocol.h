// The request protocol of the web mail servlet (modServer): the servlet paths
// and their discovery at login, every command the add-in sends with the exact
// body it sends, and how each reply is judged. Commands go to
// SyncConfig::host and SyncConfig::requestUrl through HttpPost; their progress
// and failures go to the activity log, and the account commands show message
// boxes through the platform's front end. All of it runs on the host's
// user-interface thread.
#ifndef QVSYNC_SERVER_PROTOCOL_H
#define QVSYNC_SERVER_PROTOCOL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "addin/codec/encodings.h"

namespace qvsync {

// The servlet path tried first, and the one the login tries when the first
// gives no answer (only while "Request URL" is not configured).
inline constexpr const char* kDefaultRequestPath = "/QvWebMail/Bramble/Servlet/Request.aspx";
inline constexpr const char* kAlternativeRequestPath = "/Bramble/Servlet/Request.aspx";

// Outlook item classes the protocol knows.
inline constexpr int kClassAppointment = 26;
inline constexpr int kClassContact = 40;
inline constexpr int kClassTask = 48;
inline constexpr int kClassDistributionList = 69;

// True after a successful login, false at start and after a rejected one.
extern bool loggedIn;

// An item as the commands see it: its class, the few properties they read, and
// the item codec's serialiser and deserialiser for it. The synchronisation
// engine hands in an adapter over the Outlook item (or its safe wrapper).
class ServerItem {
 public:
  virtual ~ServerItem() = default;
  // The Outlook item class (26, 40, 48, 69, ...).
  virtual int OutlookClass() const = 0;
  virtual std::string Subject() const = 0;
  virtual std::string Email1Address() const = 0;
  // The request fields of the item for the server ID `serverId` (empty for a
  // new item), without the leading "&".
  virtual std::string SerializeItem(const std::string& serverId) const = 0;
  // Brings the item up to date from a GET reply; returns 1 on success.
  virtual int DeserializeItem(const std::string& xml) = 0;
};

// The text between the first "<tag>" and the first "</tag>" after it, unchanged
// (entities are not decoded); empty when either is missing. Case-sensitive.
std::string GetXmlValue(std::string_view reply, std::string_view tag);

// Reply readers (the XML parsing of the commands, on their own for testing).
// A reply is invalid when it is empty, not XML, or a document without any text
// (character data of more than white space; attribute values do not count).
// The LIST reply: one "ID<TAB>MODIFIEDDATE" row per ELEMENT anywhere in the
// document ("0" when MODIFIEDDATE is missing). False for an invalid reply and
// for one without ELEMENT that reports a failure (RETURNVALUE 0, an ERRORVALUE
// or ERROR_VALUE, an HTML page); `list` is replaced only when the reply has an
// ELEMENT.
bool ReadItemList(const std::string& reply, std::vector<std::string>& list);
// The GET-AUTORESPONSE reply: ENABLED ("1" = on), SUBJECT and BODY children of
// the document element; a missing child leaves its value. False when invalid.
bool ReadAutoResponse(const std::string& reply, bool& enabled, std::string& subject,
                      std::string& body);

// "APPOINTMENT", "CONTACT" or "TASK" for classes 26, 40 and 48; else "".
std::string ClassName(int outlookClass);
// The class a request that adds or changes an item names: ClassName, and
// "CONTACTGROUP" for a distribution list (class 69), as a batch names it.
std::string RequestClassName(int outlookClass);

// A new GUID (version 4, from the system's random source) as 32 upper-case hex
// digits; "00000000" when no random bytes can be had.
std::string NewUniqueName();

// The name under which a new item is added when the server returns no UID:
// appointments a new unique name + ".CAL", contacts their e-mail address (or a
// new unique name) + ".VCF", anything else "". Only an address of plain
// characters (see IsPlainItemName) names a contact: any other would reach the
// server altered, or as another contact's name.
std::string ItemFileName(const ServerItem& item);
// Whether `name` is made only of ASCII letters, digits, ".", "-", "_" and "@".
bool IsPlainItemName(std::string_view name);

// "&ID=" and the ID, escaped like every request value: how every request
// names an item.
std::string IdField(std::string_view id);

// POSTs `body` to the configured host and servlet path (the default path
// while none is configured or found by a login).
std::string PostToServer(std::string_view body, int32_t& errorCode, std::string& errorMessage);

// LOGIN; finds the servlet path when none is configured. 1 or 0; errorCode and
// errorMessage are those of the last transport call, except that a refused
// login gives the server's reason as errorMessage (errorCode 0), and an answer
// without a login result says so. A login that got no answer in time (or
// whose wait was cancelled) is not tried again on the second path.
int ServerLogin(const std::string& user, const std::string& password, int32_t& errorCode,
                std::string& errorMessage);

// LOGIN unless already logged in: 2 already logged in, 1 logged in now, 0 failed.
int EnsureLoggedIn(const std::string& user, const std::string& password, int32_t& errorCode,
                   std::string& errorMessage);

// LIST of `className` ("TASK", "APPOINTMENT", "CONTACT") changed since
// `sinceDate`: `list` gets one "ID<TAB>MODIFIEDDATE" row per server item. With
// no item in the reply `list` is left as it was. 1, or 0 for an invalid reply
// or an error reply without items (see ReadItemList).
int GetItemListFromServer(std::vector<std::string>& list, std::string_view className,
                          const LocalDateTime& sinceDate);

// What became of a request that adds or changes a server item.
struct ChangeResult {
  enum class Outcome {
    kTaken,       // the server took it (uid and modified are the server's)
    kRefused,     // the server answered and refused it (reason says why)
    kRemoved,     // an edit of an item the server no longer has
    kUnanswered,  // no answer: it may or may not have been carried out
    kNotSent,     // the item gave no request fields (a list with a member the server does not know yet)
  };
  Outcome outcome = Outcome::kUnanswered;
  std::string uid;
  std::string modified;  // the server's MODIFIEDDATE ("" when it gave none)
  std::string reason;    // the server's ERROR_DESCRIPTION
  std::string code;      // its RETURNVALUE
};

// ADD of `item` under `id` (its new name, recorded beforehand so that an add
// whose answer is lost can be confirmed by the next run).
ChangeResult AddItemOnServer(const ServerItem& item, const std::string& id);
// EDIT of the server item `id`: code 1 taken, 1001 removed, no RETURNVALUE
// unanswered, any other code refused.
ChangeResult ChangeItemOnServer(const std::string& id, const ServerItem& item);

// ADD: "UID<TAB>MODIFIEDDATE" of the new server item, or "" when refused.
std::string PostItemToServer(const ServerItem& item);
// The same with the item sent under `id` (its new name, recorded beforehand so
// that an add whose answer is lost can be confirmed by the next run). When ""
// is returned, `refused` (if given) tells an add the server answered and
// refused (it holds nothing of it) from one that got no answer (it may).
std::string PostItemToServer(const ServerItem& item, const std::string& id, bool* refused = nullptr);

// EDIT of the server item `id`: "code<TAB>id<TAB>MODIFIEDDATE" (code 1 taken,
// 1001 no longer on the server, "0" no answer). `answered` (if given) says
// whether the reply held a RETURNVALUE at all.
std::string EditItemOnServer(const std::string& id, const ServerItem& item, bool* answered = nullptr);

// GET of the server item `id` into `item`; false when the server gave no item
// or the item could not be brought up to date from it.
bool GetItemFromServer(const std::string& id, ServerItem& item);

// CHANGE-PASSWORD for the configured user; 1 or 0, with a message box either
// way. A failure's box gives the server's reason, else the transport's.
int ChangePassword(const std::string& oldPassword, const std::string& newPassword);
// The failure box of a password change ("The password change operation failed
// with the following error: " + details, title "Password Change Failed"), also
// reported to the host as the command's failure.
void ReportPasswordChangeFailure(const std::string& details);

// GET-AUTORESPONSE; 1 with the out-values filled (a value the reply lacks is
// left unchanged), or 0 leaving them all unchanged.
int GetAutoResponse(bool& enabled, std::string& subject, std::string& body);

// SET-AUTORESPONSE; 1, or 0 with a message box that gives the server's reason,
// else the transport's (also reported to the host as the command's failure).
int SetAutoResponse(bool enabled, const std::string& subject, const std::string& body);

}  // namespace qvsync

#endif
