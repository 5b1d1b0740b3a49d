#include <publish/PublishTool.h>

#include <publish/Commands.h>

namespace vantry::Publish {

namespace {

const char usage[] = R"(usage: vantry-publish COMMAND [ARGUMENTS]

commands:
  keygen --out PREFIX
      write a new Ed25519 key pair: PREFIX.key (private, mode 0600) and PREFIX.pub (Base64)
  sign --key PREFIX.key FILE
      print the Base64 Ed25519 signature of FILE's bytes
  check-catalog CATALOG [--signature SIG] [--key BASE64] [--high-water N] [--json]
      check a catalog with the launcher's own rules; exit 0 accepted, 1 refused, 2 usage
  check-appcast FEED [--json]
      show the release the launcher would take from an appcast; exit 0 found, 1 none, 2 usage
  mkimage BUNDLE --out NAME.dmg
      make a release image (SquashFS) with the bundle at its top
  serve DIR [--port P] [--address A]
      serve a folder over HTTPS on loopback as the catalog host, with the development certificate
  certify --anchor-key ANCHOR.key --team TEAM --developer NAME --developer-key DEV.pub --out CERT
      write a developer certificate for TEAM carrying DEV.pub, signed with the anchor's key
  codesign BUNDLE --key DEV.key --certificate CERT
      sign a .app or .framework bundle, nested bundles first; exit 0 signed, 1 refused, 2 usage
  notarize BUNDLE --key NOTARY.key
      staple a notarization ticket to a bundle whose signature validates; exit 0, 1 refused, 2 usage
  verify-bundle BUNDLE [--json]
      the launcher's signature check and notarization assessment; exit 0 both pass, 1 not, 2 usage
  release BUNDLE --site DIR --id ID --key KEY [--minimum-system V] [--notes FILE] [--host NAME]
      image a signed, notarized bundle into SITE/releases/ID/ID-BUILD.dmg, sign it, and add its item
      to SITE/updates/ID.xml; exit 0 released, 1 refused, 2 usage
  catalog set DIR --id ID --key KEY [--name N] [--tagline T] [--description D] [--bundle-id B]
              [--minimum-system V] [--icon PNG] [--released yes|no] [--host NAME]
      add or update an entry of SITE/catalog.json (a new one needs name, tagline, description,
      bundle id, minimum system and an icon; released by default) and sign it with the next
      catalogVersion; exit 0 set, 1 refused, 2 usage
  check-site DIR [--key BASE64] [--json]
      every launcher rule over a whole site, one problem a line; exit 0 none, 1 problems, 2 usage

KEY is the release key's private file as keygen writes it, or - to read it from standard input;
it must not lie inside the site. HOST defaults to the build's catalog host.
)";

} // namespace

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (arguments.isEmpty()) {
        err << usage;
        return usageError;
    }
    const QString command = arguments.first();
    const QStringList rest = arguments.mid(1);
    if (command == u"keygen")
        return keygen(rest, out, err);
    if (command == u"sign")
        return sign(rest, out, err);
    if (command == u"check-catalog")
        return checkCatalog(rest, out, err);
    if (command == u"check-appcast")
        return checkAppcast(rest, out, err);
    if (command == u"serve")
        return serve(rest, out, err);
    if (command == u"mkimage")
        return mkimage(rest, out, err);
    if (command == u"certify")
        return certify(rest, out, err);
    if (command == u"codesign")
        return codesign(rest, out, err);
    if (command == u"notarize")
        return notarize(rest, out, err);
    if (command == u"verify-bundle")
        return verifyBundle(rest, out, err);
    if (command == u"release")
        return release(rest, out, err);
    if (command == u"catalog")
        return catalog(rest, out, err);
    if (command == u"check-site")
        return checkSite(rest, out, err);
    if (command == u"help" || command == u"--help" || command == u"-h") {
        out << usage;
        return success;
    }
    err << "vantry-publish: unknown command '" << command << "'\n" << usage;
    return usageError;
}

} // namespace vantry::Publish
