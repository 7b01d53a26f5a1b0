// The synchronisation run (modSynchronize): `SynchronizeAll` logs in and runs
// `SynchronizeFolder` for Tasks, Appointments and Contacts in this order, each
// when its sync mode is on. A folder run loads the folder's conversion table,
// confirms a batch left by a failed run (batch mode), sends Outlook's changes to
// the server (client-to-server pass), brings the server's changes, deletions
// and new items into Outlook (server-to-client pass), sends the collected batch
// (batch mode) and saves the table.
//
// Everything runs on the host's user-interface thread; the progress window's
// Cancel button is the only thing that runs meanwhile (it sets SyncCancelled,
// tested once per item).
#ifndef QVSYNC_SYNC_SYNCHRONIZE_H
#define QVSYNC_SYNC_SYNCHRONIZE_H

#include <functional>
#include <string>

#include "platform/outlook/outlook.h"

namespace qvsync::modSynchronize {

using qv::outlook::Date;
using qv::outlook::Variant;

// The date sent as the list's "&Since=" and below which the client-to-server
// pass stops: one day before the folder's last sync time, or with "Restrict"
// on, now minus "RestrictValue" days.
extern Date SinceDate;

// The run over all classes; installed as the add-in's Synchronize command.
void SynchronizeAll();

// One folder run for `messageClass` ("TASK", "APPOINTMENT" or "CONTACT").
void SynchronizeFolder(Variant& folder, const std::string& messageClass);

// The configuration window shown modally when the account is not configured
// or the login fails; without one only the message box is shown.
void SetConfigurationDialog(std::function<void()> show);

// Makes SynchronizeAll the add-in's synchronisation (Connect's driver).
void InstallSynchronizeAll();

// The general date form of the log lines: "M/D/YYYY h:mm:ss AM".
std::string FormatGeneralDate(Date date);

}  // namespace qvsync::modSynchronize

#endif
