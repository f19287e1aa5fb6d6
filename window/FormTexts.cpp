#include "FormTexts.h"

#include "Version.h"

#include <QCoreApplication>
#include <QStringList>
#include <iterator>

namespace hostmoor {

namespace {

constexpr char kContext[] = "hostmoor::TDNSForm";

const char* const kInstructionRows[] = {
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "Enter an IP address or a host name to lookup. "),
    "",
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "Lookup a range of IP addresses by using a wildcard, "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "for example enter \"205.50.10.*\" to look up "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "\"205.50.10.0\", \"205.50.10.1\", etc. all the way to up to "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "\"205.50.10.255\". Wildcards can only be used in the "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "last section of an address."),
    "",
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "You can also specify a narrower range, for example "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "entering \"205.50.10.[10-20]\" will lookup all addresses "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "from \"205.50.10.10\" to \"205.50.10.20\"."),
    "",
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "Right-click within this text window to open the popup "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "menu."),
};

const char* const kAboutRows[] = {
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "Look up Internet hosts starting from either an IP address "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "or a host name using the Simple DNS tab. On the "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "Advanced DNS tab you can use Hostmoor to "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "process text files replacing IP addresses with host "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "names. This feature was originally developed to process "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "Web server log files, but you may find many other useful "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "ways to put this feature to work."),
    "",
    "Hostmoor " HOSTMOOR_VERSION,
    "Brightfold",
    "E-mail: hostmoor@brightfold.example",
    "Web: www.brightfold.example",
};

const char* const kMakerRows[] = {
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "Brightfold makes small, careful tools for people who run"),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "networks and web sites: utilities that do one job well"),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "and stay out of the way."),
};

const char* const kVisitRows[] = {
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "Visit the Brightfold web site for news, updates and"),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "our other tools. Press the button below to open it in"),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "your Web browser."),
};

const char* const kStep2Rows[] = {
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "When you press Process Hostmoor will process"),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "the selected file(s) by replacing all references to IP"),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm", "addresses with host names by reverse DNS lookup."),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "The results are written to a file of the same name as "),
    QT_TRANSLATE_NOOP("hostmoor::TDNSForm",
                      "the original with the extension changed to \".rdns\"."),
};

QString Translated(const char* text) {
    return *text ? QCoreApplication::translate(kContext, text) : QString();
}

template <std::size_t N> QString Rows(const char* const (&rows)[N]) {
    QStringList lines;
    for (const char* row : rows)
        lines << Translated(row);
    return lines.join('\n');
}

} // namespace

const char* const kMakerAddress = "https://www.brightfold.example/";
const char* const kDefaultHostName = "www.brightfold.example";

QString MakerLine() {
    return QCoreApplication::translate(kContext, " Hostmoor %1 by Brightfold")
        .arg(HOSTMOOR_VERSION);
}

QString InstructionText() {
    return Rows(kInstructionRows);
}
QString AboutText() {
    return Rows(kAboutRows);
}
QString MakerText() {
    return Rows(kMakerRows);
}
QString VisitText() {
    return Rows(kVisitRows);
}

QString Step2Row(int row) {
    return row >= 0 && row < static_cast<int>(std::size(kStep2Rows)) ? Translated(kStep2Rows[row])
                                                                     : QString();
}

} // namespace hostmoor
