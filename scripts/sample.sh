# Sourced by scripts/demo and tests/deploy/run_playbook.sh: lays out a sample
# installation of the suite (product 1001, version 3.2.1) and builds a sample
# upgrade package to 3.2.4 for it.

# sample_installation WORK HELPER MANAGER: a fresh installation in WORK (the
# folder the installer runs in), with the database helper and the project
# management tool copied in. Sets main and record_dir.
sample_installation() {
    local dir=$1 helper=$2 manager=$3
    rm -rf "$dir"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    main="$dir/Tessaron Suite"
    record_dir="$dir/C:/Program Files/Tessaron"
    mkdir -p "$record_dir" "$main/platform/bin" "$main/product/bin/plugins/legacy" \
        "$main/product/common/sysconfig" "$main/data"

    sample_record 3.2.1 >"$record_dir/setup_config.xml"
    sample_record 3.2.1 >"$main/product/common/sysconfig/setup_config.xml"

    printf 'suite client 3.2.1\n' >"$main/platform/bin/suite_client.exe"
    printf '[client]\nlanguage=zh_CN\n' >"$main/platform/bin/client.ini"
    printf 'suite server 3.2.1\n' >"$main/product/bin/suite_server.exe"
    printf 'report engine 3.2.1\n' >"$main/product/bin/report.dll"
    printf 'old plugin\n' >"$main/product/bin/old_plugin.dll"
    printf 'legacy plugin\n' >"$main/product/bin/plugins/legacy/legacy.dll"
    printf 'legacy settings\n' >"$main/product/bin/plugins/legacy/.settings"
    printf 'user notes, kept by the upgrade\n' >"$main/product/bin/notes.txt"
    cp "$helper" "$main/product/bin/upgrade_install_helper.exe"
    cp "$manager" "$main/platform/bin/db_manager.exe"
    sqlite3 "$main/data/suite.db" <<'EOF'
CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT NOT NULL, created TEXT NOT NULL);
INSERT INTO projects (name, created) VALUES ('North bridge', '2026-03-02'), ('Harbour depot', '2026-05-17');
EOF
}

sample_record() { # version; the record for the installation in $main
    cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<root>
    <module>
        <item key="software_product_id" value="1001"/>
        <item key="software_name_zh" value="泰萨龙工程套件"/>
        <item key="software_name_en" value="Tessaron Suite"/>
        <item key="software_version" value="$1"/>
        <item key="isMain" value="1"/>
        <item key="isDb" value="1"/>
        <item key="isWeb" value="0"/>
        <item key="MainPath" value="$main"/>
    </module>
</root>
EOF
}

# sample_descriptor FROM TO DB: a package descriptor for the sample suite.
sample_descriptor() {
    cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<root>
    <module>
        <item key="upgrade_type" value="0"/>
        <item key="software_product_id" value="1001"/>
        <item key="software_version_from" value="$1"/>
        <item key="software_version_to" value="$2"/>
        <item key="if_upgrade_db" value="$3"/>
        <item key="exe_path" value="bin"/>
    </module>
</root>
EOF
}

# sample_package WORK BUILDER: the package source in WORK/package-source and
# the package built from it. Sets package.
sample_package() {
    local builder=$2
    local src="$1/package-source"
    local up="$src/upgrade"
    mkdir -p "$up/delete/product/bin/plugins/legacy" "$up/update/product/bin" "$up/add/product/bin" \
        "$up/add/docs" "$up/shell/shell_before" "$up/shell/shell_after" "$up/db/db_before" "$up/db/db_after"
    sample_descriptor 3.2.0 3.2.4 1 >"$up/upgrade_config.xml"
    cat >"$up/readme.txt" <<'EOF'
泰萨龙工程套件 3.2.4 升级包
适用版本: 3.2.0 至 3.2.4
- 报表引擎更新 (report.dll)
- 新增功能模块 new_feature.dll 与使用手册
- 移除旧插件 old_plugin.dll 及 legacy 插件目录
- 数据库: 项目表新增状态列, 新增版本说明表
EOF
    printf 'report engine 3.2.4\n' >"$up/update/product/bin/report.dll"
    printf 'suite server 3.2.4\n' >"$up/update/product/bin/suite_server.exe"
    printf 'new feature 3.2.4\n' >"$up/add/product/bin/new_feature.dll"
    printf 'must not replace the installed notes\n' >"$up/add/product/bin/notes.txt"
    printf '# 使用手册\n' >"$up/add/docs/manual.md"
    printf 'old plugin\n' >"$up/delete/product/bin/old_plugin.dll"
    cat >"$up/shell/shell_before/01_stop_services.bat" <<'EOF'
echo "$(date '+%F %T') before: services stopped" >> upgrade_scripts.log
EOF
    cat >"$up/shell/shell_after/01_register.bat" <<'EOF'
echo "$(date '+%F %T') after: components registered" >> upgrade_scripts.log
EOF
    cat >"$up/db/db_before/V3_2_4_01__project_status.sql" <<'EOF'
ALTER TABLE projects ADD COLUMN status TEXT NOT NULL DEFAULT 'active';
EOF
    cat >"$up/db/db_after/V3_2_4_02__release_notes.sql" <<'EOF'
CREATE TABLE release_notes (version TEXT PRIMARY KEY, note TEXT NOT NULL);
INSERT INTO release_notes (version, note) VALUES ('3.2.4', '报表引擎更新; 项目状态列');
EOF
    package="$1/tessaron_3.2.4.upgrade.rcc"
    "$builder" "$src" "$package"
}

# sample_snapshot: one line per file below $main (short checksum, path),
# leaving out the staging folder.
sample_snapshot() { (cd "$main" && find . -type f -not -path './upgrade_temp/*' | sort | while read -r f; do
    printf '%s %s\n' "$(sha1sum <"$f" | cut -c1-8)" "$f"; done); }
