#pragma once
// A generated assessment for the service simulator, for tests and benchmarks that need more
// questions than the sample lesson has.
#include <string>

#include "tools/service-sim/Scenario.h"

// A generated assessment of `count` choice questions (upper-alpha, B correct), question n with
// 2 + n % 3 choices, written into the document in reverse order.
inline ServiceSim::AssessmentSpec ChoiceAssessment(const std::string& id, int count) {
  const std::string ns = "http://schemas.vantrel.org/2008/voxlet/";
  std::string questions;
  std::string rdf = "<rdf:Description rdf:about=\"urn:com.vantrel.voxlet:" + id +
                    "\"><voxlet:feedback rdf:resource=\"" + ns +
                    "feedback#show-after-assessment-deactivated\"/></rdf:Description>";
  for (int n = count; n >= 1; --n) {
    const std::string q = id + "-q" + std::to_string(n);
    questions += "<voxlet:question xml:id=\"q" + std::to_string(n) + "\" voxlet:questionnumber=\"" + std::to_string(n) +
                 "\" voxlet:resourceid=\"urn:com.vantrel.voxlet:" + q + "\">";
    rdf += "<rdf:Description rdf:about=\"urn:com.vantrel.voxlet:" + q + "\"><voxlet:questionformat rdf:resource=\"" +
           ns + "questionformat#choice\"/><voxlet:choicelabelstyle rdf:resource=\"" + ns +
           "choicelabelstyle#upper-alpha\"/><voxlet:answer rdf:parseType=\"Resource\"><voxlet:points>1</voxlet:points>"
           "<voxlet:choicevalue>B</voxlet:choicevalue></voxlet:answer></rdf:Description>";
    for (int c = 0; c < 2 + n % 3; ++c) {
      const std::string choice = q + "-" + std::to_string(c);
      questions += "<voxlet:choice voxlet:resourceid=\"urn:com.vantrel.voxlet:" + choice + "\"/>";
      rdf += "<rdf:Description rdf:about=\"urn:com.vantrel.voxlet:" + choice + "\"><voxlet:choicevalue>" +
             std::string(1, static_cast<char>('A' + c)) + "</voxlet:choicevalue></rdf:Description>";
    }
    questions += "</voxlet:question>";
  }
  return {id,
          "<voxlet:assessment xmlns:voxlet=\"" + ns + "\" xml:id=\"" + id + "\"><voxlet:questions>" + questions +
              "</voxlet:questions><voxlet:submissions/></voxlet:assessment>",
          "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" + ns + "\">" + rdf +
              "</rdf:RDF>"};
}
