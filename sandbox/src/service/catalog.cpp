#include "service/catalog.h"

#include <algorithm>

#include "service/text.h"

namespace sandbox {

namespace {

constexpr std::uint32_t kText = 4000;

ParamDef text(std::u16string_view name) {
  return ParamDef{name, ParamType::NVarChar, kText, false};
}
ParamDef text_max(std::u16string_view name) {
  return ParamDef{name, ParamType::NVarCharMax, 0, false};
}
ParamDef integer(std::u16string_view name) {
  return ParamDef{name, ParamType::Int, 0, false};
}

Column col(std::u16string_view name, SqlType type, std::uint32_t length = 0) {
  Column c;
  c.name = std::u16string(name);
  c.type = type;
  c.max_length = length;
  if (type == SqlType::Money) {
    c.precision = 19;
    c.scale = 4;
  }
  return c;
}

std::vector<ProcDef> build_catalog() {
  const std::vector<ParamDef> send_head = {text(u"@user_id"),    text(u"@Sub_ID"),
                                           text(u"@User_tel"),   text(u"@Custom_id"),
                                           text(u"@Custom_nam"), text(u"@Custom_tel")};
  std::vector<ProcDef> c;
  c.push_back({ProcId::f_login,
               u"f_login",
               true,
               ReturnType::NVarChar200,
               {text(u"@user_id"), text(u"@user_pw")},
               {}});
  c.push_back(
      {ProcId::f_sms_janek, u"f_sms_janek", true, ReturnType::Money, {text(u"@user_id")}, {}});

  ProcDef sms{ProcId::sp_sms_send, u"sp_sms_send", false, ReturnType::Status, send_head, {}};
  sms.params.push_back(text_max(u"@msg"));
  sms.params.push_back(integer(u"@typ"));
  sms.params.push_back(text(u"@n_code"));
  sms.params.push_back(text(u"@YK_Time"));
  c.push_back(sms);

  ProcDef lms{ProcId::sp_lms_send, u"sp_lms_send", false, ReturnType::Status, send_head, {}};
  lms.params.push_back(text_max(u"@subject"));
  lms.params.push_back(text_max(u"@msg"));
  lms.params.push_back(text(u"@YK_Time"));
  c.push_back(lms);

  ProcDef mms{ProcId::sp_mms_send, u"sp_mms_send", false, ReturnType::Status, send_head, {}};
  mms.params.push_back(text_max(u"@subject"));
  mms.params.push_back(text_max(u"@msg"));
  mms.params.push_back(text(u"@fnam1"));
  mms.params.push_back(text(u"@fnam2"));
  mms.params.push_back(text(u"@fnam3"));
  mms.params.push_back(text(u"@YK_Time"));
  c.push_back(mms);

  c.push_back({ProcId::sp_result_data1,
               u"sp_result_data1",
               false,
               ReturnType::Status,
               {text(u"@user_id")},
               result_columns()});
  c.push_back({ProcId::sp_result_data2,
               u"sp_result_data2",
               false,
               ReturnType::Status,
               {text(u"@user_id"), text(u"@fr_dtime"), text(u"@to_dtime")},
               result_columns()});
  c.push_back({ProcId::sp_result_dataV2,
               u"sp_result_dataV2",
               false,
               ReturnType::Status,
               {text(u"@user_id"), text(u"@sub_id"), text(u"@fr_dtime"), text(u"@to_dtime")},
               result_columns()});
  c.push_back({ProcId::sp_YaeyakData,
               u"sp_YaeyakData",
               false,
               ReturnType::Status,
               {text(u"@user_id")},
               result_columns()});
  c.push_back({ProcId::sp_YaeyakDataV2,
               u"sp_YaeyakDataV2",
               false,
               ReturnType::Status,
               {text(u"@user_id"), text(u"@Sub_ID")},
               result_columns()});
  c.push_back({ProcId::sp_YaeyakDelete,
               u"sp_YaeyakDelete",
               false,
               ReturnType::Status,
               {text(u"@user_id"), integer(u"@id")},
               {}});
  c.push_back({ProcId::sp_ibgum_data,
               u"sp_ibgum_data",
               false,
               ReturnType::Status,
               {text(u"@user_id")},
               deposit_columns()});
  c.push_back({ProcId::sp_addmember,
               u"sp_addmember",
               false,
               ReturnType::Status,
               {text(u"@user_id"), text(u"@user_pw"), text(u"@recommender"), text(u"@tax_no"),
                text(u"@tax_ltd"), text(u"@tax_name"), text(u"@tax_jongmok"), text(u"@tax_upte"),
                text(u"@tax_tel"), text(u"@tax_fax"), text(u"@tax_mail"), text(u"@tax_juso"),
                text(u"@tax_damdang")},
               {}});

  // The catalog procedure ODBC drivers call for parameter metadata; every parameter optional.
  ProcDef sproc{ProcId::sp_sproc_columns, u"sp_sproc_columns", false, ReturnType::Status, {}, {}};
  sproc.params = {ParamDef{u"@procedure_name", ParamType::NVarChar, 390, true},
                  ParamDef{u"@procedure_owner", ParamType::NVarChar, 384, true},
                  ParamDef{u"@procedure_qualifier", ParamType::NVarChar, 128, true},
                  ParamDef{u"@column_name", ParamType::NVarChar, 384, true},
                  ParamDef{u"@ODBCVer", ParamType::Int, 0, true},
                  ParamDef{u"@fUsePattern", ParamType::Bit, 0, true}};
  sproc.listed = false;
  c.push_back(sproc);

  std::sort(c.begin(), c.end(), [](const ProcDef& a, const ProcDef& b) {
    return comparison_key(a.name) < comparison_key(b.name);
  });
  return c;
}

}  // namespace

int ProcDef::param_index(std::u16string_view param_name) const {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (iequals(params[i].name, param_name)) return static_cast<int>(i);
  }
  return -1;
}

const std::vector<Column>& result_columns() {
  static const std::vector<Column> cols = {
      col(u"id", SqlType::Int),
      col(u"User_ID", SqlType::VarChar, kText),
      col(u"SUB_ID", SqlType::VarChar, kText),
      col(u"user_tel", SqlType::VarChar, kText),
      col(u"Custom_tel", SqlType::VarChar, kText),
      col(u"Custom_id", SqlType::NVarChar, kText),
      col(u"Custom_nam", SqlType::NVarChar, kText),
      col(u"msg", SqlType::NVarChar, 0),
      col(u"result_code", SqlType::Int),
      col(u"Result_Msg", SqlType::NVarChar, 200),
      col(u"typ", SqlType::Int),
      col(u"kun2", SqlType::Int),
      col(u"fee2", SqlType::Money),
      col(u"i_time", SqlType::DateTime),
      col(u"s_time", SqlType::DateTime),
  };
  return cols;
}

const std::vector<Column>& deposit_columns() {
  static const std::vector<Column> cols = {
      col(u"User_ID", SqlType::VarChar, kText),
      col(u"kunsu", SqlType::Int),
      col(u"ibgum", SqlType::Money),
      col(u"Ibgum_date", SqlType::VarChar, 8),
      col(u"ibgum_memo", SqlType::NVarChar, kText),
  };
  return cols;
}

const std::vector<ProcDef>& procedure_catalog() {
  static const std::vector<ProcDef> catalog = build_catalog();
  return catalog;
}

const ProcDef& procedure(ProcId id) {
  for (const auto& p : procedure_catalog()) {
    if (p.id == id) return p;
  }
  return procedure_catalog().front();  // unreachable: every id is in the catalog
}

const ProcDef* find_procedure(std::u16string_view bare_name) {
  for (const auto& p : procedure_catalog()) {
    if (iequals(p.name, bare_name)) return &p;
  }
  return nullptr;
}

}  // namespace sandbox
