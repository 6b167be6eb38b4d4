// What "保存" costs on a settings namespace a hostile host made huge: an array of many
// providers, each with a stored secret, saved untouched, with a change beside the array and
// with a change inside it (refused: the array holds masks).
#include "Domain/Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

using namespace nbd;
using namespace Qt::StringLiterals;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int count = 20000;
    JSONValue::Elements providers, slots;
    for (int i = 0; i < count; ++i) {
        providers.push_back(JSONValue::object({{u"name"_s, u"p"_s + QString::number(i)}, {u"key"_s, u"••••••"_s}}));
        slots.push_back(JSONValue::object(
            {{u"path"_s, JSONValue::array({JSONValue(u"providers"_s), JSONValue(QString::number(i)), JSONValue(u"key"_s)})},
             {u"set"_s, true}}));
    }
    SettingsNamespaceView view;
    view.ns = u"n"_s;
    view.value = JSONValue::object({{u"providers"_s, JSONValue::array(providers)}, {u"other"_s, 1}});
    for (const JSONValue &slot : slots)
        view.secrets.push_back(SettingsSecretView::fromJson(slot));
    const JSONValue beside = view.value.with(u"other"_s, 2);
    providers[count / 2] = providers[count / 2].with(u"name"_s, u"renamed"_s);
    const JSONValue inside = view.value.with(u"providers"_s, JSONValue::array(providers));

    for (const auto &[name, edited] : {std::pair{"untouched", view.value}, std::pair{"beside", beside},
                                       std::pair{"inside", inside}}) {
        double ms = 1e9; // the best of five runs
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer timer;
            timer.start();
            (void)SettingsPatch::fromEdit(edited, view);
            ms = std::min(ms, double(timer.nsecsElapsed()) / 1e6);
        }
        std::printf("settings_patch.ms_%s_%dk_secrets: %.2f\n", name, count / 1000, ms);
    }
    return 0;
}
