#include "service/sql_parser.h"

#include <array>
#include <limits>

#include "service/text.h"

namespace sandbox {

namespace {

enum class TokKind : std::uint8_t {
  Word,
  QuotedName,
  String,
  NString,
  Number,
  Variable,
  SysVariable,
  Symbol,
  End
};

struct Token {
  TokKind kind = TokKind::End;
  std::u16string text;  // decoded value (string contents, unquoted name) or the token itself
  std::u16string raw;   // as written
  int line = 1;
  bool newline_before = false;
};

struct Unclosed {
  std::u16string rest;
  int line;
};

bool is_word_start(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u'#' ||
         c >= 0x80;
}
bool is_word_char(char16_t c) {
  return is_word_start(c) || (c >= u'0' && c <= u'9') || c == u'@' || c == u'$';
}
bool is_digit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// Returns the tokens, or the unclosed quote that ended them.
std::variant<std::vector<Token>, Unclosed> tokenize(std::u16string_view s) {
  std::vector<Token> out;
  std::size_t i = 0;
  int line = 1;
  bool newline = false;
  while (i < s.size()) {
    const char16_t c = s[i];
    if (c == u'\n') {
      ++line;
      newline = true;
      ++i;
      continue;
    }
    if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\f' || c == u'\v') {
      ++i;
      continue;
    }
    if (c == u'-' && i + 1 < s.size() && s[i + 1] == u'-') {
      while (i < s.size() && s[i] != u'\n') ++i;
      continue;
    }
    if (c == u'/' && i + 1 < s.size() && s[i + 1] == u'*') {
      i += 2;
      while (i + 1 < s.size() && !(s[i] == u'*' && s[i + 1] == u'/')) {
        if (s[i] == u'\n') {
          ++line;
          newline = true;
        }
        ++i;
      }
      i = i + 2 <= s.size() ? i + 2 : s.size();
      continue;
    }
    Token t;
    t.line = line;
    t.newline_before = newline || out.empty();
    newline = false;
    const std::size_t start = i;
    const bool national = (c == u'N' || c == u'n') && i + 1 < s.size() && s[i + 1] == u'\'';
    if (c == u'\'' || national) {
      t.kind = national ? TokKind::NString : TokKind::String;
      i += national ? 2 : 1;
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == u'\'') {
          if (i + 1 < s.size() && s[i + 1] == u'\'') {
            t.text.push_back(u'\'');
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        if (s[i] == u'\n') ++line;
        t.text.push_back(s[i++]);
      }
      if (!closed) return Unclosed{t.text, t.line};
    } else if (c == u'[' || c == u'"') {
      const char16_t close = c == u'[' ? u']' : u'"';
      t.kind = TokKind::QuotedName;
      ++i;
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == close) {
          if (i + 1 < s.size() && s[i + 1] == close) {
            t.text.push_back(close);
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        t.text.push_back(s[i++]);
      }
      if (!closed) return Unclosed{t.text, t.line};
    } else if (c == u'@') {
      const bool sys = i + 1 < s.size() && s[i + 1] == u'@';
      t.kind = sys ? TokKind::SysVariable : TokKind::Variable;
      i += sys ? 2 : 1;
      while (i < s.size() && is_word_char(s[i])) ++i;
      t.text = std::u16string(s.substr(start, i - start));
    } else if (is_digit(c) || (c == u'.' && i + 1 < s.size() && is_digit(s[i + 1]))) {
      t.kind = TokKind::Number;
      while (i < s.size() && is_digit(s[i])) ++i;
      if (i < s.size() && s[i] == u'.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
      }
      t.text = std::u16string(s.substr(start, i - start));
    } else if (is_word_start(c)) {
      t.kind = TokKind::Word;
      while (i < s.size() && is_word_char(s[i])) ++i;
      t.text = std::u16string(s.substr(start, i - start));
    } else {
      t.kind = TokKind::Symbol;
      static constexpr std::array<std::u16string_view, 6> pairs = {u"<>", u">=", u"<=",
                                                                   u"!=", u"!<", u"!>"};
      std::size_t len = 1;
      for (auto p : pairs) {
        if (s.substr(i, 2) == p) len = 2;
      }
      i += len;
      t.text = std::u16string(s.substr(start, len));
    }
    t.raw = std::u16string(s.substr(start, i - start));
    out.push_back(std::move(t));
  }
  Token end;
  end.kind = TokKind::End;
  end.line = line;
  end.newline_before = true;
  out.push_back(end);
  return out;
}

bool is_statement_keyword(const Token& t) {
  if (t.kind != TokKind::Word) return false;
  static constexpr std::array<std::u16string_view, 11> words = {
      u"SET",  u"USE",     u"BEGIN",  u"COMMIT", u"ROLLBACK", u"IF",
      u"EXEC", u"EXECUTE", u"SELECT", u"UPDATE", u"DECLARE"};
  for (auto w : words) {
    if (iequals(t.text, w)) return true;
  }
  return false;
}

bool is_reserved(const Token& t) {
  if (t.kind != TokKind::Word) return false;
  static constexpr std::array<std::u16string_view, 8> words = {u"FROM", u"WHERE", u"AS",    u"AND",
                                                               u"OR",   u"ORDER", u"GROUP", u"END"};
  for (auto w : words) {
    if (iequals(t.text, w)) return true;
  }
  return is_statement_keyword(t);
}

struct SyntaxError {
  SqlParseError error;
};

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  std::vector<SqlStatement> parse_all() {
    std::vector<SqlStatement> out;
    while (peek().kind != TokKind::End) {
      if (is_symbol(u";")) {
        ++pos_;
        continue;
      }
      out.push_back(statement());
    }
    return out;
  }

 private:
  const Token& peek(std::size_t ahead = 0) const {
    const std::size_t k = pos_ + ahead < t_.size() ? pos_ + ahead : t_.size() - 1;
    return t_[k];
  }
  const Token& next() {
    const Token& t = peek();
    if (pos_ < t_.size() - 1) ++pos_;
    return t;
  }
  bool is_word(std::u16string_view w, std::size_t ahead = 0) const {
    return peek(ahead).kind == TokKind::Word && iequals(peek(ahead).text, w);
  }
  bool is_symbol(std::u16string_view s, std::size_t ahead = 0) const {
    return peek(ahead).kind == TokKind::Symbol && peek(ahead).text == s;
  }
  bool at_statement_end() const {
    const Token& t = peek();
    return t.kind == TokKind::End || (t.kind == TokKind::Symbol && t.text == u";") ||
           is_statement_keyword(t);
  }

  [[noreturn]] void fail() const {
    const Token* t = &peek();
    if (t->kind == TokKind::End && pos_ > 0) t = &t_[pos_ - 1];
    SqlParseError e;
    e.number = 102;
    e.text =
        u"Incorrect syntax near '" + (t->kind == TokKind::End ? std::u16string() : t->raw) + u"'.";
    e.line = t->line;
    throw SyntaxError{e};
  }

  void expect_word(std::u16string_view w) {
    if (!is_word(w)) fail();
    ++pos_;
  }
  void expect_symbol(std::u16string_view s) {
    if (!is_symbol(s)) fail();
    ++pos_;
  }

  SqlStatement statement() {
    SqlStatement st;
    st.line = peek().line;
    if (is_word(u"SET")) {
      ++pos_;
      if (at_statement_end()) fail();
      // Session options: accepted and ignored, up to the end of the line or statement.
      while (!at_statement_end() && !peek().newline_before) ++pos_;
      return st;
    }
    if (is_word(u"USE")) {
      ++pos_;
      const Token& db = next();
      if (db.kind != TokKind::Word && db.kind != TokKind::QuotedName) {
        --pos_;
        fail();
      }
      st.kind = SqlStatement::Kind::Use;
      st.database = db.text;
      return st;
    }
    if (is_word(u"BEGIN")) {
      ++pos_;
      if (!is_word(u"TRAN") && !is_word(u"TRANSACTION")) fail();
      ++pos_;
      transaction_name();
      st.kind = SqlStatement::Kind::BeginTran;
      return st;
    }
    if (is_word(u"COMMIT") || is_word(u"ROLLBACK")) {
      st.kind = is_word(u"COMMIT") ? SqlStatement::Kind::Commit : SqlStatement::Kind::Rollback;
      ++pos_;
      if (is_word(u"TRAN") || is_word(u"TRANSACTION") || is_word(u"WORK")) {
        ++pos_;
        transaction_name();
      }
      return st;
    }
    if (is_word(u"IF")) {
      ++pos_;
      // The condition is not evaluated: IF @@TRANCOUNT ... is housekeeping of client libraries.
      std::size_t guard = 0;
      while (!is_statement_keyword(peek()) && peek().kind != TokKind::End) {
        ++pos_;
        if (++guard > 64) fail();
      }
      if (peek().kind == TokKind::End || guard == 0) fail();
      statement();  // parsed for its syntax, not run
      return st;
    }
    if (is_word(u"EXEC") || is_word(u"EXECUTE")) {
      ++pos_;
      return exec(st);
    }
    if (is_word(u"SELECT")) {
      ++pos_;
      return select(st);
    }
    if (is_word(u"UPDATE")) {
      ++pos_;
      return update(st);
    }
    fail();
  }

  void transaction_name() {
    const Token& t = peek();
    if ((t.kind == TokKind::Word || t.kind == TokKind::QuotedName || t.kind == TokKind::Variable) &&
        !is_reserved(t) && !t.newline_before) {
      ++pos_;
    }
  }

  // name ('.' name?)*, e.g. sms..x
  std::vector<std::u16string> multipart_name(std::u16string* written) {
    std::vector<std::u16string> parts;
    auto is_name = [&](const Token& t) {
      return t.kind == TokKind::QuotedName || (t.kind == TokKind::Word && !is_reserved(t));
    };
    if (!is_name(peek())) fail();
    while (true) {
      if (is_name(peek())) {
        if (written) *written += peek().raw;
        parts.push_back(next().text);
      } else {
        parts.emplace_back();
      }
      if (!is_symbol(u".")) break;
      if (written) *written += u".";
      ++pos_;
      if (parts.size() >= 4) fail();
    }
    if (parts.back().empty()) fail();
    return parts;
  }

  SqlExpr value(bool allow_bare_word) {
    SqlExpr e;
    const Token& t = peek();
    if (t.kind == TokKind::String || t.kind == TokKind::NString) {
      e.literal =
          t.kind == TokKind::String ? SqlValue::varchar(t.text) : SqlValue::nvarchar(t.text);
      ++pos_;
      return e;
    }
    if (t.kind == TokKind::Number || (is_symbol(u"-") && peek(1).kind == TokKind::Number) ||
        (is_symbol(u"+") && peek(1).kind == TokKind::Number)) {
      bool negative = false;
      if (t.kind == TokKind::Symbol) {
        negative = t.text == u"-";
        ++pos_;
      }
      e.literal = number(next().text, negative);
      return e;
    }
    if (is_word(u"NULL")) {
      ++pos_;
      e.literal = SqlValue::null(SqlType::Int);
      return e;
    }
    if (t.kind == TokKind::Variable) {
      e.kind = SqlExpr::Kind::Variable;
      e.name = next().text;
      return e;
    }
    if (t.kind == TokKind::SysVariable) {
      e.kind = SqlExpr::Kind::SysVariable;
      e.name = next().text;
      return e;
    }
    if (allow_bare_word && (t.kind == TokKind::Word || t.kind == TokKind::QuotedName) &&
        !is_reserved(t)) {
      // EXEC p demo: an undelimited identifier passes as a string, as SQL Server allows.
      e.literal = SqlValue::nvarchar(next().text);
      return e;
    }
    fail();
  }

  SqlValue number(const std::u16string& text, bool negative) {
    const auto dot = text.find(u'.');
    if (dot == std::u16string::npos && text.size() <= 18) {
      std::int64_t v = 0;
      for (char16_t c : text) v = v * 10 + (c - u'0');
      if (negative) v = -v;
      if (v >= std::numeric_limits<std::int32_t>::min() &&
          v <= std::numeric_limits<std::int32_t>::max()) {
        return SqlValue::int32(static_cast<std::int32_t>(v));
      }
      return SqlValue::decimal(v, static_cast<std::uint8_t>(text.size()), 0);
    }
    std::u16string digits;
    std::uint8_t scale = 0;
    for (std::size_t k = 0; k < text.size(); ++k) {
      if (text[k] == u'.') {
        scale = static_cast<std::uint8_t>(text.size() - k - 1);
      } else {
        digits.push_back(text[k]);
      }
    }
    if (digits.size() > 18) fail();
    std::int64_t v = 0;
    for (char16_t c : digits) v = v * 10 + (c - u'0');
    return SqlValue::decimal(negative ? -v : v, static_cast<std::uint8_t>(digits.size()), scale);
  }

  SqlStatement exec(SqlStatement st) {
    st.kind = SqlStatement::Kind::Exec;
    if (peek().kind == TokKind::Variable && is_symbol(u"=", 1)) pos_ += 2;  // @rv =
    st.proc_parts = multipart_name(&st.proc_written);
    if (is_symbol(u";") || peek().kind == TokKind::End ||
        (peek().newline_before && is_statement_keyword(peek()))) {
      return st;
    }
    while (true) {
      SqlExecArg arg;
      if (peek().kind == TokKind::Variable && is_symbol(u"=", 1)) {
        arg.name = next().text;
        ++pos_;
      }
      arg.value = value(true);
      if (is_word(u"OUTPUT") || is_word(u"OUT")) {
        arg.output = true;
        ++pos_;
      }
      st.args.push_back(std::move(arg));
      if (!is_symbol(u",")) break;
      ++pos_;
    }
    if (!at_statement_end()) fail();
    return st;
  }

  SqlExpr select_expr() {
    const Token& t = peek();
    // NULL is a literal here as in EXEC, not the name of a function.
    if ((t.kind == TokKind::Word && !is_reserved(t) && !is_word(u"NULL")) ||
        t.kind == TokKind::QuotedName) {
      SqlExpr e;
      e.kind = SqlExpr::Kind::Call;
      e.parts = multipart_name(&e.name);
      expect_symbol(u"(");
      if (!is_symbol(u")")) {
        while (true) {
          e.args.push_back(select_expr());
          if (!is_symbol(u",")) break;
          ++pos_;
        }
      }
      expect_symbol(u")");
      return e;
    }
    return value(false);
  }

  SqlStatement select(SqlStatement st) {
    st.kind = SqlStatement::Kind::Select;
    while (true) {
      SqlSelectItem item;
      item.expr = select_expr();
      if (is_word(u"AS")) {
        ++pos_;
        const Token& a = next();
        if (a.kind != TokKind::Word && a.kind != TokKind::QuotedName && a.kind != TokKind::String) {
          --pos_;
          fail();
        }
        item.alias = a.text;
      } else if ((peek().kind == TokKind::QuotedName ||
                  (peek().kind == TokKind::Word && !is_reserved(peek()))) &&
                 !peek().newline_before) {
        item.alias = next().text;
      }
      st.items.push_back(std::move(item));
      if (!is_symbol(u",")) break;
      ++pos_;
    }
    if (!at_statement_end()) fail();
    return st;
  }

  SqlStatement update(SqlStatement st) {
    std::u16string written;
    const auto parts = multipart_name(&written);
    expect_word(u"SET");
    if (!is_word(u"reply")) fail();
    ++pos_;
    expect_symbol(u"=");
    if (peek().kind != TokKind::Number || peek().text != u"1") fail();
    ++pos_;
    expect_word(u"WHERE");
    if (!is_word(u"id")) fail();
    ++pos_;
    expect_symbol(u"=");
    bool negative = false;
    if (is_symbol(u"-")) {
      negative = true;
      ++pos_;
    }
    if (peek().kind != TokKind::Number || peek().text.find(u'.') != std::u16string::npos ||
        peek().text.size() > 18) {
      fail();
    }
    std::int64_t id = 0;
    for (char16_t c : next().text) id = id * 10 + (c - u'0');
    if (!at_statement_end()) fail();
    const bool table_ok = iequals(parts.back(), u"sms_result") &&
                          (parts.size() < 2 || parts[parts.size() - 2].empty() ||
                           iequals(parts[parts.size() - 2], u"dbo")) &&
                          (parts.size() < 3 || parts[0].empty() || iequals(parts[0], u"sms"));
    if (!table_ok) {
      st.kind = SqlStatement::Kind::Fail;
      st.fail_number = 208;
      st.fail_text = u"Invalid object name '" + written + u"'.";
      return st;
    }
    st.kind = SqlStatement::Kind::Ack;
    st.ack_id = negative ? -id : id;
    return st;
  }

  std::vector<Token> t_;
  std::size_t pos_ = 0;
};

}  // namespace

std::variant<std::vector<SqlStatement>, SqlParseError> parse_sql_batch(std::u16string_view sql) {
  auto tokens = tokenize(sql);
  if (auto* unclosed = std::get_if<Unclosed>(&tokens)) {
    SqlParseError e;
    e.number = 105;
    e.text = u"Unclosed quotation mark after the character string '" + unclosed->rest + u"'.";
    e.line = unclosed->line;
    return e;
  }
  try {
    Parser p(std::get<std::vector<Token>>(std::move(tokens)));
    return p.parse_all();
  } catch (const SyntaxError& e) {
    return e.error;
  }
}

std::optional<std::vector<std::u16string>> split_object_name(std::u16string_view name) {
  auto tokens = tokenize(name);
  auto* list = std::get_if<std::vector<Token>>(&tokens);
  if (!list) return std::nullopt;
  std::vector<std::u16string> parts;
  bool expect_name = true;
  for (const Token& t : *list) {
    if (t.kind == TokKind::End) break;
    if (t.kind == TokKind::Symbol && t.text == u".") {
      if (expect_name) parts.emplace_back();
      expect_name = true;
      continue;
    }
    if (!expect_name || (t.kind != TokKind::Word && t.kind != TokKind::QuotedName)) {
      return std::nullopt;
    }
    parts.push_back(t.text);
    expect_name = false;
  }
  if (parts.empty() || expect_name || parts.size() > 4) return std::nullopt;
  return parts;
}

std::vector<std::u16string> parse_declaration_names(std::u16string_view declaration) {
  std::vector<std::u16string> names;
  int depth = 0;
  bool at_item_start = true;
  for (std::size_t i = 0; i < declaration.size(); ++i) {
    const char16_t c = declaration[i];
    if (c == u'(') ++depth;
    if (c == u')') --depth;
    if (c == u',' && depth == 0) {
      at_item_start = true;
      continue;
    }
    if (at_item_start && c == u'@') {
      std::size_t j = i + 1;
      while (j < declaration.size() && is_word_char(declaration[j])) ++j;
      names.emplace_back(declaration.substr(i, j - i));
      at_item_start = false;
      i = j - 1;
    }
  }
  return names;
}

}  // namespace sandbox
