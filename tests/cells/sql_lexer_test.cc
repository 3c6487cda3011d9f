// The SQL lexer's token boundaries, one construct per row.
#include "cells/sql_lexer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using norvale::cells::lex_sql;
using norvale::cells::SqlToken;
using norvale::cells::SqlTokenKind;

// The text with every token other than kOther marked: <S:..> string, <I:..> quoted identifier,
// <C:..> comment, <?> placeholder, <;> separator, <N:..> numbered and <P:..> named parameter.
// Fails the test when tokens leave gaps.
std::string marked(const std::string& sql, bool* complete) {
  std::string out;
  size_t at = 0;
  *complete = lex_sql(sql, [&](const SqlToken& t) {
    EXPECT_EQ(t.begin, at) << sql;
    EXPECT_LT(t.begin, t.end) << sql;
    at = t.end;
    const std::string text = sql.substr(t.begin, t.end - t.begin);
    switch (t.kind) {
      case SqlTokenKind::kOther: out += text; break;
      case SqlTokenKind::kString: out += "<S:" + text + ">"; break;
      case SqlTokenKind::kQuotedIdentifier: out += "<I:" + text + ">"; break;
      case SqlTokenKind::kComment: out += "<C:" + text + ">"; break;
      case SqlTokenKind::kPlaceholder: out += "<" + text + ">"; break;
      case SqlTokenKind::kSemicolon: out += "<" + text + ">"; break;
      case SqlTokenKind::kNumberedParameter: out += "<N:" + text + ">"; break;
      case SqlTokenKind::kNamedParameter: out += "<P:" + text + ">"; break;
    }
  });
  EXPECT_EQ(at, sql.size()) << sql;
  return out;
}

TEST(SqlLexer, Constructs) {
  struct Case {
    std::string sql;
    std::string want;
    bool complete = true;
  };
  const Case cases[] = {
      {"", ""},
      {"SELECT 1", "SELECT 1"},
      // Standard strings: a doubled quote stays inside, a backslash is an ordinary byte.
      {"'it''s ?' ?", "<S:'it''s ?'> <?>"},
      {"'a\\' ?", "<S:'a\\'> <?>"},
      {"N'x' X'0A' B'01' U&'d'", "N<S:'x'> X<S:'0A'> B<S:'01'> U&<S:'d'>"},
      // Backslash strings, either case of the prefix; a backslash takes the next byte.
      {"E'don\\'t ?' AND id = ?", "<S:E'don\\'t ?'> AND id = <?>"},
      {"e'\\\\' ?", "<S:e'\\\\'> <?>"},
      {"E'a''b\\\\'?", "<S:E'a''b\\\\'><?>"},
      // A name ending in E is not a prefix.
      {"SOME'x' ?", "SOME<S:'x'> <?>"},
      // Dollar quoting, with and without a tag; a different tag inside does not close it.
      {"$$?$$ ?", "<S:$$?$$> <?>"},
      {"$fn$ a $$ ? $x$ ' $fn$;", "<S:$fn$ a $$ ? $x$ ' $fn$><;>"},
      {"$_t1$?$_t1$", "<S:$_t1$?$_t1$>"},
      // Numbered and named parameters; a $ inside a name belongs to it.
      {"$1 + ?", "<N:$1> + <?>"},
      {"a$b$ ?", "a$b$ <?>"},
      {"x=$12,$2x", "x=<N:$12>,<N:$2>x"},
      {"$1$2 a$3", "<N:$1><N:$2> a$3"},
      {"$name || $n_2 || $Ü", "<P:$name> || <P:$n_2> || <P:$Ü>"},
      {"a$1 $", "a$1 $"},
      // :name where an operand starts; casts, slices, struct literals and prefix aliases are
      // not parameters.
      {"id = :id AND (:n2)", "id = <P::id> AND (<P::n2>)"},
      {"x::INT, x :: INT, a:b, 1:a, ':'", "x::INT, x :: INT, a:b, 1:a, <S:':'>"},
      {"l[:n], l[a:b], l[1][:x], :y", "l[:n], l[a:b], l[1][:x], <P::y>"},
      {"{'k': :v, 'j':w}, :z", "{<S:'k'>: :v, <S:'j'>:w}, <P::z>"},
      {"f(x):y, ?:y, ':'", "f(x):y, <?>:y, <S:':'>"},
      {":1 :", ":1 :"},
      // Quoted identifiers.
      {"\"a\"\"?\" ?", "<I:\"a\"\"?\"> <?>"},
      // Comments: -- ends at CR or LF; block comments nest.
      {"-- ?\n?", "<C:-- ?>\n<?>"},
      {"-- ?\r?", "<C:-- ?>\r<?>"},
      {"/* a /* ? */ ? */ ?", "<C:/* a /* ? */ ? */> <?>"},
      {"1/*x*/-?", "1<C:/*x*/>-<?>"},
      // Lists and subscripts hold SQL; a bracket identifier only where a name stands.
      {"SELECT [?, ?]", "SELECT [<?>, <?>]"},
      {"SELECT arr[?] FROM t", "SELECT arr[<?>] FROM t"},
      {"SELECT ['a]', ?]", "SELECT [<S:'a]'>, <?>]"},
      {"SELECT x FROM [my ?]]t] WHERE y = ?", "SELECT x FROM <I:[my ?]]t]> WHERE y = <?>"},
      {"SELECT 1 AS [a?] FROM dbo.[t?]", "SELECT 1 AS <I:[a?]> FROM dbo.<I:[t?]>"},
      {"FROM /* c */ [t]", "FROM <C:/* c */> <I:[t]>"},
      {"from [t] join [u]", "from <I:[t]> join <I:[u]>"},
      {"FROMX [?]", "FROMX [<?>]"},
      // Operators that contain a question mark.
      {"j ?| a, j ?& b, j @? p, p ?# q, p ?-| q", "j ?| a, j ?& b, j @? p, p ?# q, p ?-| q"},
      {"?||'x' ?&&a ?-1", "<?>||<S:'x'> <?>&&a <?>-1"},
      {"a=?;b<>?", "a=<?><;>b<><?>"},
      {"1.5e3?", "1.5e3<?>"},
      // Unterminated constructs run to the end.
      {"? 'open ?", "<?> <S:'open ?>", false},
      {"E'\\'", "<S:E'\\'>", false},
      {"E'\\", "<S:E'\\>", false},
      {"$a$ ?", "<S:$a$ ?>", false},
      {"/* /* */ ?", "<C:/* /* */ ?>", false},
      {"\"x", "<I:\"x>", false},
      {"FROM [x", "FROM <I:[x>", false},
  };
  for (const Case& c : cases) {
    bool complete = false;
    EXPECT_EQ(marked(c.sql, &complete), c.want) << c.sql;
    EXPECT_EQ(complete, c.complete) << c.sql;
  }
}

// Random texts over the characters that matter: tokens always cover the text without gaps.
TEST(SqlLexer, ArbitraryBytesCoverTheText) {
  const std::string alphabet = "'\"$E[]{}?-/*\\\n\r;. aF1@|&#:";
  uint32_t state = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::string sql;
    const size_t len = round % 40;
    for (size_t i = 0; i < len; ++i) {
      state = state * 1103515245u + 12345u;
      sql.push_back(alphabet[(state >> 16) % alphabet.size()]);
    }
    bool complete = false;
    marked(sql, &complete);
  }
}

}  // namespace
