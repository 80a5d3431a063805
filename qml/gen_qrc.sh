#!/usr/bin/env bash
# Rewrites zuplayer_qml.qrc from the files under Zuplayer/ (run after adding
# or removing a QML file or an icon).
set -euo pipefail
cd "$(dirname "$0")"
{
  echo '<!DOCTYPE RCC>'
  echo '<RCC version="1.0">'
  echo '  <qresource prefix="/qml">'
  find Zuplayer -type f \( -name '*.qml' -o -name '*.js' -o -name 'qmldir' -o -name '*.svg' -o -name '*.png' \) | LC_ALL=C sort |
    while read -r f; do echo "    <file>$f</file>"; done
  echo '  </qresource>'
  echo '</RCC>'
} > zuplayer_qml.qrc
