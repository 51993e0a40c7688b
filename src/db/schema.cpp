#include "db/schema.h"

namespace pelorin::db {
namespace {

constexpr Kind T = Kind::Text;
constexpr Kind I = Kind::Integer;
constexpr Kind D = Kind::Date;

// failedsent takes rows by "INSERT ... SELECT * FROM qsms": same columns, same order.
std::vector<Column> queueColumns(Kind keyKind) {
    return {{"idx", keyKind},  {"tgl", D},    {"waktu", T},    {"pengirim", T}, {"tujuan", T},
            {"isipesan", T},   {"pidcom", I}, {"trycount", I}, {"wapurl", T}};
}

QString columnDefinition(Backend backend, const Column& column) {
    QString def = QString::fromLatin1(column.name) + QLatin1Char(' ') +
                  dialect::columnType(backend, column.kind);
    // Readers take a missing text as empty and a missing number as 0, as the main
    // application's own rows do; keys and dates stay without a default.
    if (column.kind == Kind::Text) def += QStringLiteral(" DEFAULT ''");
    if (column.kind == Kind::Integer) def += QStringLiteral(" DEFAULT 0");
    return def;
}

} // namespace

const std::vector<Table>& sharedTables() {
    static const std::vector<Table> tables = {
        {"cs",
         {{"com", Kind::RowKey}, {"nomor", T}, {"stat", T}, {"statsender", T}, {"errinfo", T},
          {"usecountdown", I}, {"countdown", I}, {"useharian", I}, {"limitharian", I},
          {"tglsekarang", D}, {"hariandown", I}}},
        {"qsms", queueColumns(Kind::AutoKey)},
        {"failedsent", queueColumns(Kind::Integer)},
        {"smsout",
         {{"tanggal", D}, {"waktu", T}, {"pengirim", T}, {"penerima", T}, {"pesan", T},
          {"pidcom", I}}},
        {"smsin",
         {{"tanggal", D}, {"waktu", T}, {"pengirim", T}, {"penerima", T}, {"pesan", T},
          {"pass2way", T}, {"tglwaktukirim", T}}},
        {"answerkuis",
         {{"msisdn", T}, {"datebroadcast", D}, {"harilimit", I}, {"correctanswer", T},
          {"answer", T}, {"iscorrect", I}}},
        {"twoway", {{"nomor", T}, {"url", T}}},
        {"remotehp", {{"phonenumber", T}, {"infoname", T}}},
        {"remotecommand",
         {{"command", T}, {"sender", T}, {"param1field", T}, {"param2field", T},
          {"param1criteria", T}, {"param2criteria", T}}},
        {"phonebook", {{"msisdn", T}, {"nama", T}, {"alamat", T}, {"groupdata", T}}},
        {"autorespondset",
         {{"formatsms", T}, {"replysms", T}, {"pengirim", T}, {"onlyphonebook", I},
          {"groupphonebook", T}}},
        {"komplainforward", {{"forwardke", T}, {"formatsms", T}}},
        {"komplain",
         {{"tanggal", D}, {"waktu", T}, {"pengirim", T}, {"penerima", T}, {"pesan", T},
          {"forwardke", T}, {"tglwaktukirim", T}}},
        {"setting", {{"cekautodel", I}, {"smsautodel", I}}},
        {"dialcommand", {{"idx", Kind::AutoKey}, {"dial", T}, {"com", I}, {"flag", I}}},
        // Queued messages per port, kept by triggers on qsms for every writer, so that
        // choosing a sender port never counts a long queue.
        {"qsms_count", {{"pidcom", I}, {"queued", I}}},
    };
    return tables;
}

const std::vector<Table>& ownTables() {
    // One row per port, written by its running module every few seconds: the process, when
    // it last beat (UTC, ISO 8601), and the modem's last health reading (NULL: unknown).
    static const std::vector<Table> tables = {
        {"heartbeat",
         {{"com", Kind::RowKey}, {"pid", I}, {"host", T}, {"started", T}, {"beat", T}, {"period", I},
          {"rssi", I}, {"creg", I}, {"network", T}, {"health", T}}},
    };
    return tables;
}

const std::vector<Index>& sharedIndexes() {
    static const std::vector<Index> indexes = {
        {"qsms_port_order", "qsms", "pidcom,trycount,idx"},
        {"dialcommand_pending", "dialcommand", "com,flag,idx"},
        {"smsin_stamp", "smsin", "tglwaktukirim"},
        {"answerkuis_msisdn", "answerkuis", "msisdn"},
        {"twoway_nomor", "twoway", "nomor"},
        {"remotehp_phonenumber", "remotehp", "phonenumber"},
        {"phonebook_msisdn", "phonebook", "msisdn"},
        {"autorespondset_group", "autorespondset", "groupphonebook"},
        {"komplainforward_formatsms", "komplainforward", "formatsms"},
    };
    return indexes;
}

const Table* findTable(const QString& name) {
    for (const auto* tables : {&sharedTables(), &ownTables()}) {
        for (const Table& table : *tables) {
            if (name.compare(QLatin1String(table.name), Qt::CaseInsensitive) == 0) return &table;
        }
    }
    return nullptr;
}

const Column* findColumn(const Table& table, const QString& name) {
    for (const Column& column : table.columns) {
        if (name.compare(QLatin1String(column.name), Qt::CaseInsensitive) == 0) return &column;
    }
    return nullptr;
}

namespace {

QString createTable(Backend backend, const Table& table) {
    QStringList defs;
    for (const Column& column : table.columns) defs << columnDefinition(backend, column);
    return QStringLiteral("CREATE TABLE %1 (%2)").arg(QLatin1String(table.name), defs.join(QStringLiteral(", ")));
}

} // namespace

QStringList createOwnStatements(Backend backend) {
    QStringList statements;
    for (const Table& table : ownTables()) statements << createTable(backend, table);
    return statements;
}

QStringList createStatements(Backend backend) {
    QStringList statements = dialect::schemaPreamble(backend);
    for (const Table& table : sharedTables()) statements << createTable(backend, table);
    statements << createOwnStatements(backend);
    for (const Index& index : sharedIndexes()) {
        statements << QStringLiteral("CREATE INDEX %1 ON %2 (%3)")
                          .arg(QLatin1String(index.name), QLatin1String(index.table),
                               QLatin1String(index.columns));
    }
    statements << QStringLiteral("CREATE UNIQUE INDEX qsms_count_port ON qsms_count (pidcom)");
    statements << dialect::queueCountTriggers(backend);
    return statements;
}

} // namespace pelorin::db
