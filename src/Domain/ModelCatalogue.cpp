#include "Domain/ModelCatalogue.h"

#include "Wire/JSONDecode.h"

namespace nbd {

ModelSelection ModelSelection::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ModelSelection v;
    v.provider = json::string(value, u"provider");
    v.model = json::string(value, u"model");
    v.reasoningEffort = json::optString(value, u"reasoningEffort");
    return v;
}

ReasoningEffort ReasoningEffort::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ReasoningEffort v;
    v.id = json::string(value, u"id");
    v.name = json::string(value, u"name");
    v.description = json::optString(value, u"description");
    return v;
}

ModelReasoning ModelReasoning::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ModelReasoning v;
    v.efforts = json::field<std::vector<ReasoningEffort>>(value, u"efforts");
    v.defaultEffort = json::optString(value, u"defaultEffort");
    return v;
}

ModelCatalogModel ModelCatalogModel::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ModelCatalogModel v;
    v.id = json::string(value, u"id");
    v.name = json::string(value, u"name");
    v.description = json::optString(value, u"description");
    v.reasoning = json::optField<ModelReasoning>(value, u"reasoning");
    return v;
}

ModelProviderGroup ModelProviderGroup::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ModelProviderGroup v;
    v.id = json::string(value, u"id");
    v.name = json::string(value, u"name");
    v.models = json::field<std::vector<ModelCatalogModel>>(value, u"models");
    return v;
}

ModelCatalogFailure ModelCatalogFailure::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ModelCatalogFailure v;
    v.id = json::string(value, u"id");
    v.name = json::string(value, u"name");
    v.message = json::string(value, u"message");
    return v;
}

SessionModelsValue SessionModelsValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionModelsValue v;
    v.current = json::field<ModelSelection>(value, u"current");
    v.routable = json::boolean(value, u"routable");
    v.groups = json::field<std::vector<ModelProviderGroup>>(value, u"groups");
    v.failures = json::field<std::vector<ModelCatalogFailure>>(value, u"failures");
    return v;
}

} // namespace nbd
