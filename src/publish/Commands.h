#pragma once

#include <QStringList>
#include <QTextStream>

// The commands of vantry-publish. Each takes the arguments after its name and returns an exit
// status of PublishTool.h.
namespace vantry::Publish {

int keygen(const QStringList &arguments, QTextStream &out, QTextStream &err);
int sign(const QStringList &arguments, QTextStream &out, QTextStream &err);
int checkCatalog(const QStringList &arguments, QTextStream &out, QTextStream &err);
int checkAppcast(const QStringList &arguments, QTextStream &out, QTextStream &err);
int serve(const QStringList &arguments, QTextStream &out, QTextStream &err);
int mkimage(const QStringList &arguments, QTextStream &out, QTextStream &err);
int certify(const QStringList &arguments, QTextStream &out, QTextStream &err);
int codesign(const QStringList &arguments, QTextStream &out, QTextStream &err);
int notarize(const QStringList &arguments, QTextStream &out, QTextStream &err);
int verifyBundle(const QStringList &arguments, QTextStream &out, QTextStream &err);
int release(const QStringList &arguments, QTextStream &out, QTextStream &err);
int catalog(const QStringList &arguments, QTextStream &out, QTextStream &err);
int checkSite(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace vantry::Publish
