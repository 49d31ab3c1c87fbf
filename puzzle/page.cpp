// SPDX-License-Identifier: MIT
#include "puzzle/page.h"

namespace puzzle {
namespace {

// The credit after "<!--" must stay exactly 38 characters: the page is 1039 characters long.
constexpr std::string_view kTemplate =
    "<HTML><HEAD>\r"
    "<TITLE>Solve It</TITLE>\r"
    "<SCRIPT LANGUAGE=\"JavaScript1.1\" type=\"text/javascript\">\r"
    "<!-- Made with Tilemaven, the puzzle maker\r"
    "\r"
    "\r"
    "\r"
    "\r"
    "\r"
    "var next= new Array()\r"
    "for(j=0;j<ddd;j++)\r"
    "{\r"
    "next[j]=new Image()\r"
    "next[j].src=\"Image\"+j+\".jpg\"\r"
    "\r"
    "\r"
    "}\r"
    "\r"
    "var cnt='1'\r"
    "var imgres\r"
    "var imgpos\r"
    "\r"
    "function  setit()\r"
    "{\r"
    "var I=0\r"
    "\r"
    "var a=\"qqq\"\r"
    "var aa=a.split(\",\")\r"
    "\r"
    "var bb=Math.round(ppp*Math.random())\r"
    "check=bb\r"
    "\r"
    "while(I<ddd)\r"
    "{\r"
    "\r"
    "document.images[I].src=\"Image\"+aa[bb]+\".jpg\"\r"
    "I+=1\r"
    "\r"
    "if(bb!=ppp)\r"
    "{\r"
    "bb=bb+1\r"
    "\r"
    "} else {\r"
    "bb=0\r"
    "}\r"
    "\r"
    "\r"
    "}\r"
    "\r"
    "}\r"
    "\r"
    "function doit(pos,im)\r"
    "{\r"
    "if(cnt=='1')\r"
    "{\r"
    "imgres=im\r"
    "imgpos=pos\r"
    "cnt='2'\r"
    "\r"
    "} else {\r"
    "\r"
    "document.images[pos].src=imgres\r"
    "document.images[imgpos].src=im\r"
    "cnt='1'\r"
    "}\r"
    "\r"
    "\r"
    "}\r"
    "\r"
    "function  sol()\r"
    "{\r"
    "\r"
    "for(j=0;j<ddd;j++)\r"
    "{\r"
    "document.images[j].src=\"Image\"+j+\".jpg\"\r"
    "\r"
    "}\r"
    "\r"
    "\r"
    "}\r"
    "\r"
    "\r"
    "// -->\r"
    "</SCRIPT>\r"
    "\r"
    "\r"
    "</HEAD><BODY BGCOLOR=\"#FFFFFF\" TEXT=\"#336600\" LINK=\"#009933\" VLINK=\"#33CC00\" "
    "onLoad=\"setit()\" >\r"
    "\r"
    "\r"
    "\r"
    "\r"
    "<H3>Click on the piece you want to move and then click on where you want it to be.\r"
    "Reload to Redo</H3>\r"
    "<TABLE BORDER=\"0\"  CELLSPACING=\"0\" CELLPADDING=\"0\" ALIGN=\"center\">\r"
    "\t<TR>\r"
    "\t";

std::string credit() {
    std::string s = "<SMALL><B>Tilemaven</B>, puzzle maker available at <A HREF='";
    s += kMakerUrl;
    s += "'>";
    s += kMakerUrlText;
    s += "</A> </SMALL></p>";
    return s;
}

constexpr std::string_view kSolveButton =
    "<p><FORM ><INPUT TYPE='button' VALUE='Solve It For Me' onClick='sol()'>";

} // namespace

std::string_view pageTemplate() {
    return kTemplate;
}

std::string replaceAll(std::string text, std::string_view placeholder,
                       std::string_view replacement) {
    if (placeholder.empty())
        return text;
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(placeholder, from)) != std::string::npos;
         from = at + placeholder.size()) {
        out.append(text, from, at - from);
        out += replacement;
    }
    out.append(text, from);
    return out;
}

std::string fillTemplate(std::string text, const SizeRow& row) {
    text = replaceAll(std::move(text), kPieceCountPlaceholder, row.pieceCountText());
    text = replaceAll(std::move(text), kLastIndexPlaceholder, row.lastPieceIndexText());
    return replaceAll(std::move(text), kScramblePlaceholder, row.scrambleOrder);
}

std::string pieceCell(int k) {
    const std::string index = std::to_string(k);
    return "<td><A HREF='JavaScript:void doit(" + index + ",document.images[" + index +
           "].src)' onMouseOver='status=0 ; return true' ><IMG SRC='white.jpg' HSPACE='0' "
           "VSPACE='0'  Border='0'  ></a></td>";
}

std::string pieceTable(const SizeRow& row) {
    std::string table;
    for (int r = 0; r < row.n; ++r) {
        for (int k = r * row.n; k < (r + 1) * row.n; ++k)
            table += pieceCell(k);
        if (r + 1 < row.n)
            table += row.separator(r);
    }
    table += "</tr></table>";
    return table;
}

std::string solveFooterA() {
    return std::string(kSolveButton) + "<p>" + credit() + "</FORM></body></html>";
}

std::string solveFooterB() {
    return std::string(kSolveButton) + "</FORM><p>" + credit() + "</body></html>";
}

std::string plainFooter() {
    return "<p>" + credit() + "</body></html>";
}

std::string footerFor(const SizeRow& row, bool solveButton) {
    if (!solveButton)
        return plainFooter();
    return row.solveFooter == SolveFooter::A ? solveFooterA() : solveFooterB();
}

std::string tableText(const SizeRow& row, bool solveButton) {
    return pieceTable(row) + footerFor(row, solveButton);
}

std::string pageText(const SizeRow& row, bool solveButton) {
    return fillTemplate(std::string(kTemplate), row) + tableText(row, solveButton);
}

} // namespace puzzle
