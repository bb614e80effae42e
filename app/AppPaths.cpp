#include "app/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace zor {

namespace {

QString ExeDir() { return QCoreApplication::applicationDirPath(); }

QString EnsureDir(const QString &dir) {
  QDir().mkpath(dir);
  return QDir::cleanPath(dir);
}

}  // namespace

bool IsPortableInstall() { return QFileInfo::exists(ExeDir() + "/" + AppPortableMarkerName); }

QString SettingsFilePath() {
  const QString dir = IsPortableInstall()
                          ? ExeDir()
                          : QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
  return EnsureDir(dir) + "/" + AppSettingsFileName;
}

QString DebugDirectory() {
  const QString base = IsPortableInstall()
                           ? ExeDir()
                           : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
  return EnsureDir(base + "/Debug") + "/";
}

}  // namespace zor
