# House compile settings for every target of ours.
function(nbd_target_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  target_compile_definitions(${target} PRIVATE
    QT_NO_CAST_FROM_ASCII QT_NO_URL_CAST_FROM_STRING QT_NO_KEYWORDS QT_NO_CAST_TO_ASCII)
endfunction()

# Precompiled header shared by the core and everything built on it.
set(NBD_PCH_HEADERS
  <QtCore/QObject> <QtCore/QString> <QtCore/QByteArray> <QtCore/QUrl> <QtCore/QTimer>
  <QtCore/QPointer> <QtNetwork/QNetworkReply> <QtNetwork/QNetworkAccessManager>
  <QCoroTask> <memory> <optional> <vector> <variant> <functional>)
