#pragma once

#include <QString>

// Which firmware image the update flashes: the one delivered with the
// program, unless the user put an override of their own in place.
class RMFirmwareFile
{
public:
    // "/tmp/firmware_zelk_override.dfu".
    static QString defaultOverridePath();
    // "../Resources/firmware.dfu" against the program's directory.
    static QString bundledPath(const QString& applicationDir);

    // The override when it may be trusted, else the bundled image. A file in
    // a directory that every user can write to is only the current user's
    // choice when that user owns it and nobody else can change it; otherwise
    // anyone on the machine could pick the firmware for this user's printer.
    // Each refusal is logged with its reason, which also goes to `refusal`
    // (left empty when there was no override to refuse), so that the user
    // can be told.
    static QString choose(const QString& applicationDir,
                          const QString& overridePath = defaultOverridePath(),
                          QString* refusal = nullptr);

    // True when `path` is a regular file (not a link) owned by the current
    // user, writable by nobody else, in a directory whose entries others
    // cannot replace (not writable by others, or sticky). Otherwise false,
    // with the reason in `why` (empty when the file does not exist).
    static bool isTrustedOverride(const QString& path, QString* why);
};
