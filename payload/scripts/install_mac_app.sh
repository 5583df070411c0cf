#!/bin/bash
# Installs the Corvane demo application. Runs in the install root, with
# APP_BUNDLE_PATH naming where Corvane.app belongs.
set -euo pipefail

# Started from the Finder or a desktop, PATH is minimal and LANG often unset.
export PATH="/usr/bin:/bin:/usr/sbin:/sbin:${PATH:-}"

: "${APP_BUNDLE_PATH:?APP_BUNDLE_PATH is not set}"
install_root=$PWD
version=$(cat VERSION)

echo "==> Corvane ${version} をインストールします"
echo "    インストール先: ${install_root}"

echo "==> 設定ファイルを確認しています..."
if [ ! -f config/corvane.conf.default ]; then
  echo "エラー: config/corvane.conf.default が見つかりません" >&2
  exit 1
fi
# The user's own settings survive a reinstall: the default is copied only once.
if [ ! -f config/corvane.conf ]; then
  cp config/corvane.conf.default config/corvane.conf
  echo "    既定の設定を作成しました"
fi
echo "    $(grep -c '=' config/corvane.conf) 件の設定"

echo "==> アプリケーションバンドルを作成しています: ${APP_BUNDLE_PATH}"
contents="${APP_BUNDLE_PATH}/Contents"
mkdir -p "${contents}/MacOS" "${contents}/Resources"

cat > "${contents}/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleExecutable</key><string>Corvane</string>
  <key>CFBundleIdentifier</key><string>com.example.corvane</string>
  <key>CFBundleName</key><string>Corvane</string>
  <key>CFBundlePackageType</key><string>APPL</string>
  <key>CFBundleShortVersionString</key><string>${version}</string>
  <key>LSMinimumSystemVersion</key><string>13.0</string>
  <key>LSArchitecturePriority</key><array><string>arm64</string><string>x86_64</string></array>
</dict>
</plist>
PLIST

# The app's executable starts start.sh from the install root. An executable
# that is a script names no architecture, and Apple silicon would start it
# under Rosetta (asking to install it first); LSArchitecturePriority above
# says it runs natively.
launcher="${contents}/MacOS/Corvane"
{
  echo '#!/bin/bash'
  printf 'exec /bin/bash %q "$@"\n' "${install_root}/start.sh"
} > "${launcher}"
chmod 755 "${launcher}"

echo "警告: デモ版のため、署名は行いません" >&2
echo "==> 完了しました (Corvane ${version})"
