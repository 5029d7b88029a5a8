// Build-time helper: writes the files that make the installed program a
// desktop program, from the same code the program itself uses: the
// application icon in the hicolor theme at the usual sizes and the session
// bus's activation file for the installed program.
//
//   stratavon-desktop-files OUTDIR INSTALLED_PROGRAM
//
// OUTDIR/icons/hicolor/<n>x<n>/apps/com.halvex.Stratavon.png
// OUTDIR/dbus-1/services/Corvane.Application.service

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>

#include "app/AutomationRegistry.h"
#include "gui/simple/Artwork.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTDIR INSTALLED_PROGRAM\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString szOut = QString::fromLocal8Bit(argv[1]);
  for (int nSize : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
    const QString szDir = QStringLiteral("%1/icons/hicolor/%2x%2/apps").arg(szOut).arg(nSize);
    const QString szPath = szDir + QStringLiteral("/com.halvex.Stratavon.png");
    if (!QDir().mkpath(szDir) || !stratavon::ApplicationIconPixmap(nSize).save(szPath, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(szPath));
      return 1;
    }
  }
  const QString szServices = szOut + QStringLiteral("/dbus-1/services");
  QFile service(szServices + QStringLiteral("/") + QLatin1String(stratavon::kAutomationProgId) +
                QStringLiteral(".service"));
  const std::string szText = stratavon::ActivationFileText(argv[2]);
  if (!QDir().mkpath(szServices) || !service.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      service.write(szText.data(), static_cast<qint64>(szText.size())) != static_cast<qint64>(szText.size())) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(service.fileName()));
    return 1;
  }
  return 0;
}
