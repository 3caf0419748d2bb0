#include "tools/publish/cli.h"

#include "tools/publish/signing.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "tools/publish/documents.h"
#include "tools/publish/purge.h"
#include "update/file_source.h"

namespace qs::publish {

namespace fs = std::filesystem;

std::string FormatSize(std::uint64_t bytes) {
    char text[32];
    if (bytes >= (std::uint64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
    else if (bytes >= (1u << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

std::string FormatProgress(const Progress& progress, double elapsedSeconds) {
    std::string text = "hashing " + std::to_string(progress.filesDone) + " of " +
                       std::to_string(progress.filesTotal) + " files, " +
                       FormatSize(progress.bytesDone) + " of " + FormatSize(progress.bytesTotal);
    // A rate from less than a second or a few bytes says nothing yet.
    if (elapsedSeconds >= 1.0 && progress.bytesDone > 0 &&
        progress.bytesDone < progress.bytesTotal) {
        const double left = elapsedSeconds *
                            static_cast<double>(progress.bytesTotal - progress.bytesDone) /
                            static_cast<double>(progress.bytesDone);
        text += ", " + std::to_string(static_cast<long long>(left + 0.5)) + " s left";
    }
    return text;
}

namespace {

constexpr char kUsage[] =
    "usage: quillon-publish CLIENT_DIR OUT_DIR [--quiet]\n"
    "         [--release VERSION --installer FILE --base-url https://HOST[:PORT]\n"
    "          [--installer-url URL] [--changelog TEXT]]\n"
    "         [--status FILE] [--news FILE] [--sign PRIVATE_KEY_PEM [--expires-days N]]\n"
    "         [--mirror URL]... [--purge CACHE_URL]...\n"
    "       quillon-publish keygen DIR\n"
    "Writes the launcher's service tree for CLIENT_DIR into OUT_DIR (serve OUT_DIR as the web\n"
    "root). Files unchanged since the last publish are not hashed again; the new tree replaces\n"
    "the old one in one step. --release publishes updater/launcher/latest.json and the\n"
    "installer (at --installer-url, or under /updater/launcher/ on --base-url); --status and\n"
    "--news publish status.php and news.php after checking them as the launcher reads them.\n"
    "--sign signs the manifest and the release document (adding \"serial\" and \"expires\" to\n"
    "both, 30 days on by default; a kept release document is signed again); keygen writes\n"
    "DIR/update-key.pem and DIR/update-key.pub.pem and prints the public key for\n"
    "QS_UPDATE_PUBLIC_KEY.\n"
    "--mirror (repeatable, with --sign) names another host serving the same updater/objects/\n"
    "(https://HOST[:PORT]/PATH/) in the signed manifest; launchers with the key spread file\n"
    "downloads over it and the service, and move a file to the next when one fails.\n"
    "--purge (repeatable) sends PURGE to each cache (http://127.0.0.1:6081 for the Varnish of\n"
    "deploy/varnish/) for every document and client-path file the publish changed; a failed\n"
    "purge is a warning, as the new tree is already being served.\n";

struct Arguments {
    fs::path clientDir, outDir;
    bool quiet = false;
    std::optional<std::string> version, baseUrl, installerUrl, changelog;
    std::optional<fs::path> installer, status, news, signingKey;
    std::optional<std::string> expiresDays;
    std::vector<std::string> mirrors, purgeCaches;
};

std::optional<std::string> ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return in.bad() ? std::nullopt : std::optional(text.str());
}

// Refuses mirrors a launcher would not use, judged by the launcher's own rule.
std::string MirrorProblem(const Arguments& parsed) {
    if (parsed.mirrors.empty())
        return "";
    if (!parsed.signingKey)
        return "--mirror needs --sign: launchers ignore the mirrors of an unsigned manifest";
    if (parsed.mirrors.size() > kMaxMirrors)
        return "--mirror at most " + std::to_string(kMaxMirrors) +
               " times: launchers ignore the rest";
    for (const std::string& mirror : parsed.mirrors)
        if (!MirrorSource(mirror, ServiceEndpoint{}))
            return "--mirror needs https://HOST[:PORT]/PATH/ as launchers take it, not " + mirror;
    return "";
}

// Usage problems as text; empty when the arguments are complete.
std::string Parse(const std::vector<std::string>& arguments, Arguments& parsed) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        auto value = [&](auto& field) {
            if (i + 1 >= arguments.size())
                return false;
            field = arguments[++i];
            return true;
        };
        bool ok = true;
        if (option == "--quiet")
            parsed.quiet = true;
        else if (option == "--release")
            ok = value(parsed.version);
        else if (option == "--installer")
            ok = value(parsed.installer);
        else if (option == "--base-url")
            ok = value(parsed.baseUrl);
        else if (option == "--installer-url")
            ok = value(parsed.installerUrl);
        else if (option == "--changelog")
            ok = value(parsed.changelog);
        else if (option == "--status")
            ok = value(parsed.status);
        else if (option == "--news")
            ok = value(parsed.news);
        else if (option == "--sign")
            ok = value(parsed.signingKey);
        else if (option == "--expires-days")
            ok = value(parsed.expiresDays);
        else if (option == "--mirror")
            ok = value(parsed.mirrors.emplace_back());
        else if (option == "--purge")
            ok = value(parsed.purgeCaches.emplace_back());
        else if (option.starts_with("-"))
            return "unknown option " + option;
        else
            positional.push_back(option);
        if (!ok)
            return option + " needs a value";
    }
    if (positional.size() != 2)
        return "give CLIENT_DIR and OUT_DIR";
    parsed.clientDir = positional[0];
    parsed.outDir = positional[1];
    const bool releasing = parsed.version || parsed.installer || parsed.baseUrl ||
                           parsed.installerUrl || parsed.changelog;
    if (releasing && !(parsed.version && parsed.installer && parsed.baseUrl))
        return "--release needs --installer and --base-url";
    if (const std::string problem = MirrorProblem(parsed); !problem.empty())
        return problem;
    for (const std::string& cache : parsed.purgeCaches)
        if (!IsCacheBaseUrl(cache))
            return "--purge needs http://HOST[:PORT] or https://HOST[:PORT], not " + cache;
    return "";
}

// Failed purges are warnings: the new tree is served already, a cache only answers from its copy
// a little longer.
void ReportPurges(const std::vector<PurgeResult>& results, std::size_t caches, bool quiet,
                  std::ostream& out, std::ostream& err) {
    std::size_t failed = 0;
    for (const PurgeResult& result : results) {
        if (result.outcome == PurgeOutcome::Purged)
            continue;
        ++failed;
        err << "quillon-publish: warning: PURGE " << result.url << ": "
            << (result.outcome == PurgeOutcome::Refused
                    ? "the cache answered " + std::to_string(result.status)
                    : result.reason)
            << "\n";
    }
    if (!quiet)
        out << "purged " << (results.size() - failed) << " of " << results.size()
            << " addresses in " << caches << (caches == 1 ? " cache" : " caches") << "\n";
}

}  // namespace

int PublishMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                bool terminal) {
    Arguments parsed;
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        out << kUsage;
        return 0;
    }
    if (arguments.size() == 2 && arguments[0] == "keygen") {
        try {
            out << GenerateSigningKey(arguments[1]) << "\n";
            return 0;
        } catch (const std::exception& error) {
            err << "quillon-publish: " << error.what() << "\n";
            return 1;
        }
    }
    if (const std::string problem = Parse(arguments, parsed); !problem.empty()) {
        err << "quillon-publish: " << problem << "\n" << kUsage;
        return 2;
    }

    std::vector<Problem> problems;
    PublishOptions options;
    options.clientDir = parsed.clientDir;
    options.outDir = parsed.outDir;
    options.mirrors = parsed.mirrors;
    const std::pair<const std::optional<fs::path>*, const char*> documents[] = {
        {&parsed.status, "status.php"}, {&parsed.news, "news.php"}};
    for (const auto& [file, name] : documents) {
        if (!*file)
            continue;
        const std::optional<std::string> text = ReadWhole(**file);
        const std::vector<std::string> found =
            !text ? std::vector<std::string>{"cannot be read"}
                  : (std::string_view(name) == "status.php" ? StatusProblems(*text)
                                                            : NewsProblems(*text));
        for (const std::string& reason : found)
            problems.push_back({(*file)->string(), reason});
        if (text)
            options.documents[name] = *text;
    }
    if (parsed.signingKey) {
        const std::optional<std::string> pem = ReadWhole(*parsed.signingKey);
        try {
            if (!pem)
                throw std::runtime_error("cannot be read");
            SignatureText(*pem, "");  // refuses anything but an Ed25519 private key
            options.signingKeyPem = pem;
            if (parsed.expiresDays) {
                options.expiresDays = std::stoi(*parsed.expiresDays);
                if (options.expiresDays < 1)
                    throw std::runtime_error("--expires-days must be at least 1");
            }
        } catch (const std::exception& error) {
            problems.push_back({parsed.signingKey->string(), error.what()});
        }
    }
    if (parsed.version) {
        try {
            const std::optional<BaseUrl> base = ParseBaseUrl(*parsed.baseUrl);
            if (!base)
                throw std::runtime_error("--base-url must be https://HOST or https://HOST:PORT");
            const InstallerPlace place = PlaceInstaller(*base, parsed.installerUrl.value_or(""),
                                                        parsed.installer->filename().string());
            ReleaseJson(*parsed.version, place.url, std::string(64, '0'), parsed.changelog);
            options.release = PublishOptions::Release{*parsed.version, place.url, parsed.changelog,
                                                      *parsed.installer, place.fileName};
        } catch (const std::exception& error) {
            problems.push_back({parsed.installer->string(), error.what()});
        }
    }

    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (terminal && !parsed.quiet)
        options.progress = [&](const Progress& progress, bool final) {
            err << "\r\033[K" << (final ? "" : FormatProgress(progress, seconds())) << std::flush;
        };
    try {
        if (!problems.empty()) {
            // Report the client's problems in the same list.
            for (Problem& problem : ScanClient(parsed.clientDir).problems)
                problems.push_back(std::move(problem));
            throw PublishRefused(std::move(problems));
        }
        const TreeSnapshot before =
            parsed.purgeCaches.empty() ? TreeSnapshot{} : SnapshotTree(parsed.outDir);
        const PublishReport report = Publish(options);
        if (!parsed.quiet)
            out << "published " << report.files << " files (" << FormatSize(report.bytes) << ") to "
                << parsed.outDir.string() << ": " << report.hashedFiles << " hashed ("
                << FormatSize(report.hashedBytes) << "), " << report.files - report.hashedFiles
                << " unchanged, in " << static_cast<int>(seconds() * 1000 + 0.5) << " ms\n";
        if (!parsed.purgeCaches.empty())
            ReportPurges(PurgeCaches(parsed.purgeCaches,
                                     ChangedAddresses(before, SnapshotTree(parsed.outDir))),
                         parsed.purgeCaches.size(), parsed.quiet, out, err);
        return 0;
    } catch (const PublishRefused& refused) {
        err << "quillon-publish: nothing was published; " << refused.what() << ":\n";
        for (const Problem& problem : refused.problems())
            err << "  " << problem.path << ": " << problem.reason << "\n";
    } catch (const std::exception& error) {
        err << "quillon-publish: " << error.what() << "\n";
    }
    return 1;
}

}  // namespace qs::publish
