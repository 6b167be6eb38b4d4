#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// A session's current model choice.
struct ModelSelection
{
    QString provider;
    QString model;
    std::optional<QString> reasoningEffort;

    static ModelSelection fromJson(const JSONValue &value);
    bool operator==(const ModelSelection &) const = default;
};

// One selectable reasoning effort; the host names them, any identifier is accepted.
struct ReasoningEffort
{
    QString id;
    QString name;
    std::optional<QString> description;

    static ReasoningEffort fromJson(const JSONValue &value);
    bool operator==(const ReasoningEffort &) const = default;
};

struct ModelReasoning
{
    std::vector<ReasoningEffort> efforts;
    std::optional<QString> defaultEffort;

    static ModelReasoning fromJson(const JSONValue &value);
    bool operator==(const ModelReasoning &) const = default;
};

struct ModelCatalogModel
{
    QString id;
    QString name;
    std::optional<QString> description;
    std::optional<ModelReasoning> reasoning;

    static ModelCatalogModel fromJson(const JSONValue &value);
    bool operator==(const ModelCatalogModel &) const = default;
};

struct ModelProviderGroup
{
    QString id;
    QString name;
    std::vector<ModelCatalogModel> models;

    static ModelProviderGroup fromJson(const JSONValue &value);
    bool operator==(const ModelProviderGroup &) const = default;
};

// A provider whose catalogue the host failed to list.
struct ModelCatalogFailure
{
    QString id;
    QString name;
    QString message;

    static ModelCatalogFailure fromJson(const JSONValue &value);
    bool operator==(const ModelCatalogFailure &) const = default;
};

// "session.models" and "session.selectModel"
struct SessionModelsValue
{
    ModelSelection current;
    bool routable = false;
    std::vector<ModelProviderGroup> groups;
    std::vector<ModelCatalogFailure> failures;

    static SessionModelsValue fromJson(const JSONValue &value);
    bool operator==(const SessionModelsValue &) const = default;
};

} // namespace nbd
