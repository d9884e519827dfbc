#pragma once
// Reads a WCTP submit request the way a gateway would: POCO's DOM parser on the body (the
// external DTD is not fetched), then the elements and attributes of the published
// wctp-SubmitClientMessage tree, by name and in order. Anything out of place is reported in
// Problems, so a test shows what a gateway would have choked on.

#include <optional>
#include <string>
#include <vector>

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/DocumentType.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/Node.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/Exception.h>
#include <Poco/SAX/XMLReader.h>

namespace voxmit::test {

struct TWctpSubmit {
  std::string DoctypeName;
  std::string DoctypeSystemId;
  std::string WctpVersion;
  std::string SubmitTimestamp;
  std::string SenderID;
  std::optional<std::string> MiscInfo;  // nothing when the attribute is absent
  std::string NotifyWhenQueued;
  std::string NotifyWhenDelivered;
  std::string NotifyWhenRead;
  std::string RecipientID;
  std::string Alphanumeric;  // UTF-8
  std::vector<std::string> Problems;
};

namespace wctp_reader {

// The element children of node, in document order.
inline std::vector<Poco::XML::Element*> Elements(Poco::XML::Node* node) {
  std::vector<Poco::XML::Element*> elements;
  for (Poco::XML::Node* child = node ? node->firstChild() : nullptr; child;
       child = child->nextSibling())
    if (child->nodeType() == Poco::XML::Node::ELEMENT_NODE)
      elements.push_back(static_cast<Poco::XML::Element*>(child));
  return elements;
}

// The element children of parent, which must carry exactly names, in that order.
inline std::vector<Poco::XML::Element*> Expect(Poco::XML::Element* parent,
                                               const std::vector<std::string>& names,
                                               std::vector<std::string>& problems) {
  std::vector<Poco::XML::Element*> children = Elements(parent);
  std::vector<std::string> found;
  for (auto* child : children) found.push_back(child->nodeName());
  if (found != names) {
    std::string text = parent->nodeName() + " holds:";
    for (const auto& name : found) text += " " + name;
    problems.push_back(text);
    return {};
  }
  return children;
}

} // namespace wctp_reader

inline TWctpSubmit ReadWctpSubmit(const std::string& body) {
  using namespace wctp_reader;
  TWctpSubmit out;
  Poco::XML::DOMParser parser;
  parser.setFeature(Poco::XML::XMLReader::FEATURE_EXTERNAL_GENERAL_ENTITIES, false);
  parser.setFeature(Poco::XML::XMLReader::FEATURE_EXTERNAL_PARAMETER_ENTITIES, false);
  Poco::AutoPtr<Poco::XML::Document> doc;
  try {
    doc = parser.parseString(body);
  } catch (const Poco::Exception& e) {
    out.Problems.push_back("not well-formed: " + e.displayText());
    return out;
  }
  if (const Poco::XML::DocumentType* type = doc->doctype()) {
    out.DoctypeName = type->name();
    out.DoctypeSystemId = type->systemId();
  }
  Poco::XML::Element* root = doc->documentElement();
  if (!root || root->nodeName() != "wctp-Operation") {
    out.Problems.push_back("the root is not wctp-Operation");
    return out;
  }
  out.WctpVersion = root->getAttribute("wctpVersion");
  const auto operation = Expect(root, {"wctp-SubmitClientMessage"}, out.Problems);
  if (operation.empty()) return out;
  const auto message =
      Expect(operation[0], {"wctp-SubmitClientHeader", "wctp-Payload"}, out.Problems);
  if (message.empty()) return out;
  Poco::XML::Element* header = message[0];
  out.SubmitTimestamp = header->getAttribute("submitTimestamp");
  const auto parts = Expect(
      header, {"wctp-ClientOriginator", "wctp-ClientMessageControl", "wctp-Recipient"},
      out.Problems);
  if (!parts.empty()) {
    out.SenderID = parts[0]->getAttribute("senderID");
    if (parts[0]->hasAttribute("miscinfo")) out.MiscInfo = parts[0]->getAttribute("miscinfo");
    out.NotifyWhenQueued = parts[1]->getAttribute("notifyWhenQueued");
    out.NotifyWhenDelivered = parts[1]->getAttribute("notifyWhenDelivered");
    out.NotifyWhenRead = parts[1]->getAttribute("notifyWhenRead");
    out.RecipientID = parts[2]->getAttribute("recipientID");
  }
  const auto payload = Expect(message[1], {"wctp-Alphanumeric"}, out.Problems);
  if (!payload.empty()) out.Alphanumeric = payload[0]->innerText();
  return out;
}

} // namespace voxmit::test
