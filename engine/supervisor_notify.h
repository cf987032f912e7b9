// Telling systemd how the relay is doing (sd_notify), for a unit of Type=notify with a watchdog.
//
// READY=1 goes out when the first encoded audio has reached the destination; STATUS= carries a
// short state and the current title whenever either changes; WATCHDOG=1 goes out from the output
// path while audio reaches the destination, at about half the interval systemd asked for
// (WATCHDOG_USEC), so a relay whose output hangs stops sending it and is restarted; STOPPING=1
// at the end of a run. Without NOTIFY_SOCKET in the environment every call returns at once.
//
// Any thread may call; the watchdog's clock is atomic, the status text is behind notifyLock.
#pragma once

// Encoded audio went out to the destination (the thread that sends it).
void NotifyAudioDelivered();
// A short state of the run ("Relaying", "Waiting for source", ...).
void NotifyRunState(const char* state);
// The title now relayed.
void NotifyTitle(const char* title);
// The run ends: what the encoder holds goes out, then the destination is left.
void NotifyStopping();
