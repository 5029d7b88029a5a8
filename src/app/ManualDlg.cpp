#include "app/ManualDlg.h"

#include <QTextBrowser>
#include <QVBoxLayout>
#include <sstream>
#include <vector>

#include "app/AppResources.h"
#include "gui/simple/Artwork.h"

namespace stratavon {
namespace {

void AppendEscaped(std::string& szOut, char c) {
  switch (c) {
    case '<':
      szOut += "&lt;";
      break;
    case '>':
      szOut += "&gt;";
      break;
    case '&':
      szOut += "&amp;";
      break;
    default:
      szOut += c;
  }
}

// One line of text with its font and character escapes; every font
// change is closed by the end of the line.
std::string InlineToHtml(const std::string& szLine) {
  std::string szOut;
  std::string szCloseFont;
  auto setFont = [&](char cFont) {
    szOut += szCloseFont;
    szCloseFont.clear();
    if (cFont == 'B') {
      szOut += "<b>";
      szCloseFont = "</b>";
    } else if (cFont == 'I') {
      szOut += "<i>";
      szCloseFont = "</i>";
    }
  };
  for (size_t i = 0; i < szLine.size(); ++i) {
    const char c = szLine[i];
    if (c != '\\' || i + 1 >= szLine.size()) {
      AppendEscaped(szOut, c);
      continue;
    }
    const char cEscape = szLine[++i];
    switch (cEscape) {
      case 'f':
        if (i + 1 < szLine.size()) setFont(szLine[++i]);
        break;
      case '-':
        szOut += '-';
        break;
      case 'e':
        szOut += '\\';
        break;
      case '&':
      case '|':
      case '^':
        break;
      case '~':
      case ' ':
        szOut += "&nbsp;";
        break;
      case '(': {
        const std::string szName = szLine.substr(i + 1, 2);
        i += szName.size();
        if (szName == "em") {
          szOut += "&mdash;";
        } else if (szName == "en") {
          szOut += "&ndash;";
        } else if (szName == "bu") {
          szOut += "&bull;";
        } else if (szName == "aq") {
          szOut += "'";
        } else if (szName == "dq") {
          szOut += "&quot;";
        } else if (szName == "mu") {
          szOut += "&times;";
        }
        break;
      }
      default:
        AppendEscaped(szOut, cEscape);
    }
  }
  return szOut + szCloseFont;
}

// The arguments of a request line: blanks separate them, double quotes
// hold blanks together.
std::vector<std::string> RequestArguments(const std::string& szRest) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < szRest.size()) {
    while (i < szRest.size() && (szRest[i] == ' ' || szRest[i] == '\t')) ++i;
    if (i >= szRest.size()) break;
    std::string szArg;
    if (szRest[i] == '"') {
      ++i;
      while (i < szRest.size() && szRest[i] != '"') szArg += szRest[i++];
      ++i;
    } else {
      while (i < szRest.size() && szRest[i] != ' ' && szRest[i] != '\t') szArg += szRest[i++];
    }
    args.push_back(szArg);
  }
  return args;
}

std::string Join(const std::vector<std::string>& args) {
  std::string szJoined;
  for (const std::string& sz : args) szJoined += (szJoined.empty() ? "" : " ") + sz;
  return szJoined;
}

}  // namespace

std::string ManPageToHtml(const std::string& szRoff) {
  std::string szBody;
  std::string szTitle;
  std::string szCloseBlock;  // what ends the paragraph or list item being written
  bool bPre = false;
  bool bTagNext = false;
  int nIndents = 0;

  auto closeBlock = [&] {
    szBody += szCloseBlock;
    szCloseBlock.clear();
  };
  auto text = [&](const std::string& szHtml) {
    if (bPre) {
      szBody += szHtml + "\n";
      return;
    }
    if (bTagNext) {
      bTagNext = false;
      szBody += "<dl><dt>" + szHtml + "</dt><dd>";
      szCloseBlock = "</dd></dl>\n";
      return;
    }
    if (szCloseBlock.empty()) {
      szBody += "<p>";
      szCloseBlock = "</p>\n";
    }
    szBody += szHtml + "\n";
  };

  std::istringstream in(szRoff);
  std::string szLine;
  while (std::getline(in, szLine)) {
    if (szLine.empty()) {
      if (bPre) {
        szBody += "\n";
      } else {
        closeBlock();
      }
      continue;
    }
    if (szLine[0] != '.' && szLine[0] != '\'') {
      text(InlineToHtml(szLine));
      continue;
    }
    const size_t nEnd = szLine.find_first_of(" \t");
    const std::string szRequest = szLine.substr(1, nEnd == std::string::npos ? std::string::npos : nEnd - 1);
    const std::vector<std::string> args =
        RequestArguments(nEnd == std::string::npos ? std::string() : szLine.substr(nEnd));
    if (szRequest == "TH") {
      if (args.size() >= 2) szTitle = args[0] + "(" + args[1] + ")";
    } else if (szRequest == "SH" || szRequest == "SS") {
      closeBlock();
      const char* pszTag = szRequest == "SH" ? "h2" : "h3";
      szBody += std::string("<") + pszTag + ">" + InlineToHtml(Join(args)) + "</" + pszTag + ">\n";
    } else if (szRequest == "PP" || szRequest == "LP" || szRequest == "P") {
      closeBlock();
    } else if (szRequest == "TP") {
      closeBlock();
      bTagNext = true;
    } else if (szRequest == "IP") {
      closeBlock();
      szBody += "<dl><dt>" + InlineToHtml(args.empty() ? std::string() : args[0]) + "</dt><dd>";
      szCloseBlock = "</dd></dl>\n";
    } else if (szRequest == "RS") {
      closeBlock();
      szBody += "<div style=\"margin-left: 3em\">\n";
      ++nIndents;
    } else if (szRequest == "RE") {
      closeBlock();
      if (nIndents > 0) {
        szBody += "</div>\n";
        --nIndents;
      }
    } else if (szRequest == "nf" || szRequest == "EX") {
      closeBlock();
      if (!bPre) szBody += "<pre>";
      bPre = true;
    } else if (szRequest == "fi" || szRequest == "EE") {
      if (bPre) szBody += "</pre>\n";
      bPre = false;
    } else if (szRequest == "br") {
      szBody += "<br>\n";
    } else if (szRequest == "B" || szRequest == "I") {
      const char* pszOpen = szRequest == "B" ? "<b>" : "<i>";
      const char* pszClose = szRequest == "B" ? "</b>" : "</i>";
      text(pszOpen + InlineToHtml(Join(args)) + pszClose);
    } else if (szRequest.size() == 2 && std::string("BIR").find(szRequest[0]) != std::string::npos &&
               std::string("BIR").find(szRequest[1]) != std::string::npos && szRequest[0] != szRequest[1]) {
      // Alternating fonts, the words joined without blanks.
      std::string szHtml;
      for (size_t i = 0; i < args.size(); ++i) {
        const char cFont = szRequest[i % 2];
        const std::string szWord = InlineToHtml(args[i]);
        szHtml += cFont == 'B' ? "<b>" + szWord + "</b>" : cFont == 'I' ? "<i>" + szWord + "</i>" : szWord;
      }
      text(szHtml);
    }
  }
  closeBlock();
  if (bPre) szBody += "</pre>\n";
  for (; nIndents > 0; --nIndents) szBody += "</div>\n";

  std::string szHtml = "<html><head><title>";
  szHtml += InlineToHtml(szTitle) + "</title></head><body>\n";
  if (!szTitle.empty()) szHtml += "<h1>" + InlineToHtml(szTitle) + "</h1>\n";
  return szHtml + szBody + "</body></html>\n";
}

CManualDlg::CManualDlg(QWidget* pParent) : QDialog(pParent) {
  setWindowTitle(tr("Stratavon Manual"));
  setWindowIcon(ApplicationIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint);
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(0, 0, 0, 0);
  m_pBrowser = new QTextBrowser(this);
  m_pBrowser->setObjectName(QStringLiteral("manual"));
  m_pBrowser->setOpenExternalLinks(false);
  m_pBrowser->setHtml(QString::fromStdString(ManPageToHtml(kManualPage)));
  pLayout->addWidget(m_pBrowser);
  resize(fontMetrics().averageCharWidth() * 90, fontMetrics().height() * 40);
}

QString CManualDlg::PlainText() const { return m_pBrowser->toPlainText(); }

}  // namespace stratavon
