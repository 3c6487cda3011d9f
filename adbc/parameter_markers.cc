// Finding a statement's parameter markers and matching them with the bound columns.
#include "adbc/parameter_markers_internal.h"

#include <arrow/type.h>

#include <unordered_map>

#include "cells/sql_lexer.h"
#include "cells/sql_state_internal.h"

namespace norvale::adbc {
namespace {

using cells::sql_error;

constexpr int kMaxParameterNumber = 65535;

const char* style_text(MarkerStyle style) {
  switch (style) {
    case MarkerStyle::kQuestion: return "?";
    case MarkerStyle::kNumbered: return "$1";
    case MarkerStyle::kDollarName: return "$name";
    case MarkerStyle::kColonName: return ":name";
    case MarkerStyle::kNone: break;
  }
  return "";
}

// The marker text as the statement writes it, for messages.
std::string marker_text(const StatementParameters& p, size_t parameter) {
  switch (p.style) {
    case MarkerStyle::kDollarName: return "$" + p.names[parameter];
    case MarkerStyle::kColonName: return ":" + p.names[parameter];
    case MarkerStyle::kNumbered: return p.names[parameter];
    default: return "?";
  }
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

std::string count_mismatch(size_t parameters, size_t columns) {
  return "COUNT field incorrect: SQL has " + std::to_string(parameters) +
         " placeholder(s) but " + std::to_string(columns) + " parameter(s) bound";
}

arrow::Result<std::vector<int>> bind_by_position(const StatementParameters& p,
                                                 const arrow::Schema& schema) {
  const size_t columns = static_cast<size_t>(schema.num_fields());
  if (p.style == MarkerStyle::kNumbered) {
    std::vector<std::string> missing;
    for (size_t i = 0; i < p.names.size(); ++i) {
      if (!p.used[i]) missing.push_back(p.names[i]);
    }
    if (p.names.size() != columns || !missing.empty()) {
      std::string message = "the statement numbers its parameters up to " +
                            std::to_string(p.names.size()) + " but " +
                            std::to_string(columns) + " column(s) are bound";
      if (!missing.empty()) message += "; it never uses " + join(missing);
      return sql_error("07002", message);
    }
  } else if (p.names.size() != columns) {
    return sql_error("07002", count_mismatch(p.names.size(), columns));
  }
  std::vector<int> bound(p.names.size());
  for (size_t i = 0; i < bound.size(); ++i) bound[i] = static_cast<int>(i);
  return bound;
}

arrow::Result<std::vector<int>> bind_by_field_name(const StatementParameters& p,
                                                   const arrow::Schema& schema) {
  std::unordered_map<std::string, int> column_of;
  std::vector<std::string> duplicates;
  for (int c = 0; c < schema.num_fields(); ++c) {
    if (!column_of.emplace(schema.field(c)->name(), c).second) {
      duplicates.push_back(schema.field(c)->name());
    }
  }
  if (!duplicates.empty()) {
    return sql_error("07002", "bound columns share a name, so a name cannot choose one: " +
                                  join(duplicates));
  }
  std::vector<int> bound(p.names.size());
  std::vector<bool> serves(static_cast<size_t>(schema.num_fields()), false);
  std::vector<std::string> unbound;
  for (size_t i = 0; i < p.names.size(); ++i) {
    auto it = column_of.find(p.names[i]);
    if (it == column_of.end()) {
      unbound.push_back(marker_text(p, i));
      continue;
    }
    bound[i] = it->second;
    serves[static_cast<size_t>(it->second)] = true;
  }
  std::vector<std::string> unused;
  for (int c = 0; c < schema.num_fields(); ++c) {
    if (!serves[static_cast<size_t>(c)]) unused.push_back(schema.field(c)->name());
  }
  if (unbound.empty() && unused.empty()) return bound;
  std::string message = "parameter names and bound column names differ:";
  if (!unbound.empty()) message += " no bound column for " + join(unbound) + ";";
  if (!unused.empty()) message += " no parameter for bound column(s) " + join(unused) + ";";
  message.pop_back();
  return sql_error("07002", message);
}

}  // namespace

arrow::Result<StatementParameters> find_parameters(std::string_view sql, bool by_name) {
  StatementParameters p;
  std::unordered_map<std::string, int> named;
  arrow::Status failure;
  auto add = [&](MarkerStyle style, size_t begin, size_t end, int parameter) {
    if (p.style != MarkerStyle::kNone && p.style != style && failure.ok()) {
      failure = sql_error("42000", std::string("the statement mixes placeholder styles (") +
                                       style_text(p.style) + " and " + style_text(style) +
                                       "); write its parameters in one style");
    }
    p.style = style;
    p.markers.push_back(ParameterMarker{begin, end, parameter});
  };
  cells::lex_sql(sql, [&](const cells::SqlToken& t) {
    const std::string_view text = sql.substr(t.begin, t.end - t.begin);
    switch (t.kind) {
      case cells::SqlTokenKind::kPlaceholder:
        add(MarkerStyle::kQuestion, t.begin, t.end, static_cast<int>(p.names.size()));
        p.names.emplace_back();
        p.used.push_back(true);
        break;
      case cells::SqlTokenKind::kNumberedParameter: {
        // Digits beyond the limit are not read: the number is refused either way.
        int number = 0;
        for (char c : text.substr(1)) {
          number = number * 10 + (c - '0');
          if (number > kMaxParameterNumber) break;
        }
        if (number < 1 || number > kMaxParameterNumber) {
          if (failure.ok()) {
            failure = sql_error("42000", std::string(text) +
                                             " is not a parameter number (use $1 to $65535)");
          }
          break;
        }
        add(MarkerStyle::kNumbered, t.begin, t.end, number - 1);
        if (p.names.size() < static_cast<size_t>(number)) {
          for (size_t n = p.names.size() + 1; n <= static_cast<size_t>(number); ++n) {
            p.names.push_back("$" + std::to_string(n));
          }
          p.used.resize(p.names.size(), false);
        }
        p.used[static_cast<size_t>(number - 1)] = true;
        break;
      }
      case cells::SqlTokenKind::kNamedParameter: {
        const bool colon = text.front() == ':';
        if (colon && !by_name) break;  // without named binding a :name is the server's
        const std::string name(text.substr(1));
        auto [it, fresh] = named.emplace(name, static_cast<int>(p.names.size()));
        if (fresh) {
          p.names.push_back(name);
          p.used.push_back(true);
        }
        add(colon ? MarkerStyle::kColonName : MarkerStyle::kDollarName, t.begin, t.end,
            it->second);
        break;
      }
      default: break;
    }
  });
  ARROW_RETURN_NOT_OK(failure);
  return p;
}

arrow::Result<std::vector<int>> bind_columns(const StatementParameters& parameters,
                                             const arrow::Schema& schema, bool by_name) {
  const bool named = parameters.style == MarkerStyle::kDollarName ||
                     parameters.style == MarkerStyle::kColonName;
  if (by_name && !named && parameters.style != MarkerStyle::kNone) {
    return sql_error("07002",
                     std::string("adbc.statement.bind_by_name is set but the statement's "
                                 "placeholders are positional (") +
                         style_text(parameters.style) + "); name them as $name or :name");
  }
  if (!by_name && named) {
    std::vector<std::string> markers;
    for (size_t i = 0; i < parameters.names.size(); ++i) {
      markers.push_back(marker_text(parameters, i));
    }
    return sql_error("07002", "the statement names its parameters (" + join(markers) +
                                  "); set adbc.statement.bind_by_name=true to bind them by "
                                  "column name");
  }
  if (parameters.style == MarkerStyle::kNone) {
    if (schema.num_fields() == 0) return std::vector<int>{};
    return sql_error("07002", count_mismatch(0, static_cast<size_t>(schema.num_fields())));
  }
  return named ? bind_by_field_name(parameters, schema) : bind_by_position(parameters, schema);
}

arrow::Result<std::shared_ptr<arrow::Schema>> parameter_schema(std::string_view sql,
                                                               bool by_name,
                                                               const arrow::Schema* bound) {
  ARROW_ASSIGN_OR_RAISE(const StatementParameters params, find_parameters(sql, by_name));
  std::vector<int> columns;
  if (bound != nullptr) {
    auto matched = bind_columns(params, *bound, by_name);
    if (matched.ok()) columns = *std::move(matched);
  }
  arrow::FieldVector fields;
  for (size_t i = 0; i < params.names.size(); ++i) {
    auto type = columns.empty() ? arrow::null() : bound->field(columns[i])->type();
    fields.push_back(arrow::field(params.names[i], std::move(type)));
  }
  return arrow::schema(std::move(fields));
}

}  // namespace norvale::adbc
