#pragma once
// Replacing a file so that it is either complete or untouched: every file the program writes
// goes through here.

#include <QByteArray>
#include <QSaveFile>
#include <QString>
#include <functional>
#include <memory>

namespace savefile {

// Makes the device a save writes through. The default is a plain QSaveFile; a test passes one
// whose writes fail the way a full disk or a failing drive makes them fail.
using DeviceFactory = std::function<std::unique_ptr<QSaveFile>(const QString& fileName)>;

// Writes `data` to fileName through a temporary file beside it that is renamed over the old
// file only after every byte was written, flushed and synced. On failure it throws
// ComponentError "Cannot write "<fileName>": <reason>"; an earlier file of that name then
// keeps its bytes and no temporary file is left behind.
void Replace(const QString& fileName, const QByteArray& data, const DeviceFactory& makeDevice = {});

} // namespace savefile
