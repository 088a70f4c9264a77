// Receipt conversion: walks the host's receipt lines once, books every line
// amount on its VAT share, totals the payments, writes the fiscal information
// just before endFiscalReceipt and the previous fingerprint in front of the
// receipt, then seals it. The host's own elements are only read.
#include <climits>
#include <string>
#include <string_view>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20_Receipt.h"

namespace qx {

namespace {

// The elements the fiscal information and the back link go into.
struct HostReceipt {
  XmlElement receipt;  // the wrapper's receipt element
  XmlElement printer;  // the host's printerFiscalReceipt
  XmlElement end;      // its endFiscalReceipt
};

[[noreturn]] void RefuseElement(const std::string& aName, const std::string& aWhy) {
  throw Error("Receipt element <" + aName + "> " + aWhy);
}

// Elements the conversion writes itself; a host copy would be signed as if the
// driver had computed it.
bool IsDriverElement(std::string_view aLocalName) {
  return aLocalName == "fiscalInformation" || aLocalName == "hash" ||
         aLocalName == "receiptSecurity";
}

// The elements the conversion reads. They are read only as plain-named
// children of printerFiscalReceipt in no namespace; anywhere else the
// document would be sealed with lines it does not count.
bool IsLineElement(std::string_view aLocalName) {
  return aLocalName == "beginFiscalReceipt" || aLocalName == "endFiscalReceipt" ||
         aLocalName == "printRecItem" || aLocalName == "printRecRefund" ||
         aLocalName == "printRecItemVoid" || aLocalName == "printRecRefundVoid" ||
         aLocalName == "printRecItemAdjustment" || aLocalName == "printRecSubtotalAdjustment" ||
         aLocalName == "printRecTotal";
}

// Refuses a driver element, a nested printerFiscalReceipt, or a line element
// the conversion would not read (nested in another element, prefixed, or in a
// namespace) anywhere below printerFiscalReceipt. The message names the
// element and the receipt line (1 for the first element child) it is in or
// is. The walk is iterative, so deep nesting costs no stack.
void RefuseDriverElementsBelow(pugi::xml_node aRoot) {
  pugi::xml_node node = aRoot.first_child();
  size_t line = 0;
  while (node && node != aRoot) {
    if (node.type() == pugi::node_element) {
      if (node.parent() == aRoot) ++line;
      const XmlElement element(node);
      const std::string local = element.LocalName();
      const std::string where = " (receipt line " + std::to_string(line) + ")";
      if (IsDriverElement(local)) {
        RefuseElement(element.NodeName(), ("is written by the driver, not the host" + where));
      }
      if (local == "printerFiscalReceipt") RefuseElement(element.NodeName(), ("is nested" + where));
      if (IsLineElement(local)) {
        if (node.parent() != aRoot) {
          RefuseElement(element.NodeName(),
                        ("is inside another element" + where +
                         "; receipt lines stand directly in printerFiscalReceipt"));
        }
        if (element.NodeName() != local) {
          RefuseElement(element.NodeName(), ("has a namespace prefix" + where));
        }
        if (!element.NamespaceUri().empty()) {
          RefuseElement(element.NodeName(), ("is in namespace '" + element.NamespaceUri() + "'" +
                                             where + "; receipt lines are in no namespace"));
        }
      }
    }
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != aRoot && !node.next_sibling()) node = node.parent();
    if (node != aRoot) node = node.next_sibling();
  }
}

// The host's lines as the conversion reads them: unprefixed names, one
// beginFiscalReceipt at most, and nothing after the one endFiscalReceipt.
// Returns that endFiscalReceipt (empty when there is none).
XmlElement CheckHostLines(XmlElement aPrinter) {
  XmlElement end;
  bool begun = false;
  for (pugi::xml_node node : aPrinter.Native().children()) {
    const XmlElement line(node);
    const std::string name = line.NodeName();
    if (end) RefuseElement(name, "follows endFiscalReceipt");
    if (node.type() != pugi::node_element) continue;
    if (name.find(':') != std::string::npos) RefuseElement(name, "has a namespace prefix");
    if (name == "beginFiscalReceipt") {
      if (begun) RefuseElement(name, "appears twice");
      begun = true;
    } else if (name == "endFiscalReceipt") {
      end = line;
    }
  }
  return end;
}

// Finds where the conversion's elements go and refuses a receipt that holds
// anything the host cannot supply; nothing has changed when it raises.
HostReceipt FindHostReceipt(XmlElement aReceiptNode) {
  HostReceipt host;
  host.receipt = aReceiptNode;
  if (host.receipt.IsNull() || host.receipt.NodeName() != "receipt") {
    throw Error("receipt node not found in receipt document.");
  }
  host.printer = host.receipt.ChildNodes().FindByName("printerFiscalReceipt");
  if (host.printer.IsNull()) {
    throw Error("printerFiscalReceipt node not found in receipt document.");
  }
  // The root is read by its plain name in no namespace, as its lines are.
  if (host.printer.NodeName() != "printerFiscalReceipt") {
    RefuseElement(host.printer.NodeName(), "has a namespace prefix");
  }
  if (!host.printer.NamespaceUri().empty()) {
    RefuseElement(host.printer.NodeName(), ("is in namespace '" + host.printer.NamespaceUri() +
                                            "'; the receipt is in no namespace"));
  }
  RefuseDriverElementsBelow(host.printer.Native());
  host.end = CheckHostLines(host.printer);
  if (host.end.IsNull()) throw Error("endFiscalReceipt node not found in receipt document.");
  return host;
}

// Payment totals of one receipt, by the attribute they feed.
struct Payments {
  Currency tendered;  // cash, check and electronic payments
  Currency cash;
  Currency check;
  Currency ePay;
  Currency ticket;
  Currency ticketNum;  // a count held as an amount
  Currency noPayServices;
  Currency noPayGoods;
  Currency noPayInvoices;
  Currency noPaySSN;
  Currency discount;
};

// Raises, naming the line, when |aAmount| is beyond |aLimit| either way.
void CheckLimit(Currency aAmount, Currency aLimit, const std::string& aWhat) {
  if (aAmount > aLimit || aAmount < -aLimit) {
    throw Error(aWhat + " beyond the limit of " + FormatFiscal(aLimit));
  }
}

void CheckLineLimit(Currency aAmount, const std::string& aName) {
  CheckLimit(aAmount, kEPSRTServer_Receipt::kLineLimit, "Amount of <" + aName + ">");
}

// A line's amount, a failure naming the line (|aWhere|, "printRecItem 3: ").
Currency LineAmount(XmlElement aLine, const std::string& aWhere, std::string_view aValueName,
                    std::string_view aFactorName = {}) {
  try {
    return kEPSRTServer_Receipt::ReadLineAmount(aLine, aValueName, aFactorName);
  } catch (const Error& e) {
    throw Error(aWhere + e.what());
  }
}

void BookPayment(XmlElement aLine, const std::string& aWhere, Payments& aPayments) {
  const Currency payment = LineAmount(aLine, aWhere, "payment");
  CheckLineLimit(payment, "printRecTotal");
  int32_t quantity = 0;
  if (!TryStrToInt(aLine.AttributeText("quantity"), quantity)) quantity = 0;
  const std::string type = aLine.AttributeText("paymentType");
  if (type == "0" || type == "1" || type == "2") aPayments.tendered += payment;
  if (type == "0") {
    aPayments.cash += payment;
  } else if (type == "1") {
    aPayments.check += payment;
  } else if (type == "2") {
    aPayments.ePay += payment;
  } else if (type == "3") {
    aPayments.ticket += payment;
    aPayments.ticketNum += Currency::FromUnits(quantity);
  } else if (type == "5") {
    aPayments.noPayGoods += payment;
  } else if (type == "4") {
    aPayments.noPayServices += payment;
  } else if (type == "7") {
    aPayments.noPaySSN += payment;
  } else if (type == "8") {
    aPayments.discount += payment;
  } else if (type == "6") {
    aPayments.noPayInvoices += payment;
  } else {
    throw Error("Payment Type '" + type + "' not managed");
  }
}

int32_t ReadVATIndex(XmlElement aLine, const std::string& aWhere) {
  const std::string text = aLine.AttributeText("vatID");
  int32_t index = 0;
  if (!TryStrToInt(text, index)) throw Error(aWhere + "vatID '" + text + "' is not an integer");
  return index;
}

// "yyyymmddThhnn00": the seconds are always written as 00.
std::string FiscalDateTime(TDateTime aNow) {
  return FormatDateTime("yyyymmdd", aNow) + "T" + FormatDateTime("hhnn", aNow) + "00";
}

}  // namespace

Currency kEPSRTServer_Receipt::ReadLineAmount(XmlElement aLine, std::string_view aValueName,
                                              std::string_view aFactorName) {
  if (aValueName.empty()) return Currency();
  const auto read = [&](std::string_view aName, const std::string& aText) {
    try {
      return ParseCurrency(aText);
    } catch (const Error&) {
      throw Error(std::string(aName) + " '" + aText + "' is not a decimal number");
    }
  };
  const std::string valueText = aLine.AttributeText(aValueName);
  const Currency value = read(aValueName, valueText);
  if (aFactorName.empty()) return value;
  const std::string factorText = aLine.AttributeText(aFactorName);
  const Currency factor = read(aFactorName, factorText);
  try {
    return receipt_math::Multiply(value, factor);
  } catch (const Error&) {
    throw Error("Amount out of range: " + std::string(aValueName) + " " + valueText + " times " +
                std::string(aFactorName) + " " + factorText);
  }
}

void kEPSRTServer_Receipt::Process(const std::string& aDocType) {
  // VAT map first: nothing has changed if it cannot be had.
  if (fServer.VATMap().VATs().empty() && !fServer.GetVATMap()) {
    throw Error("VAT Map not available");
  }
  // A receipt that cannot take the fiscal information is refused before
  // anything is counted.
  HostReceipt host = FindHostReceipt(XmlReceiptNode());
  if (fNRecNumber == INT32_MAX) throw Error("Receipt number out of range");

  ++fNRecNumber;
  // Line amounts go to the share of the last item line's VAT index (any vatID
  // a host sends, negative ones included, is a real index). Before the first
  // item and after a receipt adjustment or a payment they are spread instead.
  bool spread = true;
  int32_t currentVAT = 0;
  fVATAmounts->Clear();
  fTotalAmount = Currency();
  Payments payments;

  // The list is taken once; Item is constant time, so the walk is linear.
  const XmlNodeList lines = host.printer.ChildNodes();
  const size_t count = lines.Count();
  size_t position = 0;  // among the element children, as refusals count them
  for (size_t i = 0; i < count; ++i) {
    const XmlElement line = lines.Item(i);
    const std::string name = line.NodeName();
    if (line.Native().type() == pugi::node_element) ++position;
    const std::string where = name + " " + std::to_string(position) + ": ";
    Currency amount;
    if (name == "printRecItem" || name == "printRecRefund") {
      amount = LineAmount(line, where, "unitPrice", "quantity");
      currentVAT = ReadVATIndex(line, where);
      spread = false;
    } else if (name == "printRecItemVoid" || name == "printRecRefundVoid") {
      amount = -LineAmount(line, where, "unitPrice", "quantity");
      currentVAT = ReadVATIndex(line, where);
      spread = false;
    } else if (name == "printRecItemAdjustment") {
      const std::string type = line.AttributeText("adjustmentType");
      if (type == "0") {
        amount = -LineAmount(line, where, "amount");
      } else if (type == "5") {
        amount = LineAmount(line, where, "amount");
      } else if (type == "10" || type == "12") {
        amount = -LineAmount(line, where, "amount");
      } else if (type == "11") {
        // Lowers the receipt total only; no VAT share changes.
        const Currency lowered = LineAmount(line, where, "amount");
        CheckLineLimit(lowered, name);
        fTotalAmount -= lowered;
      }
    } else if (name == "printRecSubtotalAdjustment") {
      const std::string type = line.AttributeText("adjustmentType");
      if (type == "1" || type == "2") {
        amount = -LineAmount(line, where, "amount");
        spread = true;
      } else if (type == "6" || type == "7") {
        amount = LineAmount(line, where, "amount");
        spread = true;
      }
    } else if (name == "printRecTotal") {
      spread = true;
      BookPayment(line, where, payments);
    }

    if (amount.Raw() == 0) {
      CheckLimit(fTotalAmount, kReceiptLimit, "Receipt total");
      continue;
    }
    CheckLineLimit(amount, name);
    const Currency before = fTotalAmount;
    fTotalAmount += amount;
    CheckLimit(fTotalAmount, kReceiptLimit, "Receipt total");
    if (spread) {
      try {
        DistributeAmount(amount);
      } catch (const Error&) {
        fTotalAmount = before;  // a refused adjustment books nothing
        throw;
      }
    } else {
      AddVATAmount(currentVAT, amount);
    }
  }

  // Everything paid minus the receipt total.
  const Currency paidIn = payments.tendered + payments.ticket + payments.noPayGoods +
                          payments.noPayServices + payments.noPaySSN + payments.discount +
                          payments.noPayInvoices;
  const Currency change = paidIn - fTotalAmount;
  const Currency paid = payments.tendered - change;
  const Currency dailyAmount = aDocType == "0" ? fDailyAmount + fTotalAmount : fDailyAmount;
  CheckLimit(dailyAmount, kDayLimit, "Daily amount");
  const std::string vatTotal = FormatFiscal(VATTotalAmount());

  // Every value is ready before the document is touched. The element is new,
  // so its attributes are appended without looking for earlier ones.
  XmlElement info = host.printer.InsertChildBefore("fiscalInformation", host.end);
  info.AppendAttribute("dailyAmount", FormatFiscal(dailyAmount));
  info.AppendAttribute("tillId", fTillId);
  info.AppendAttribute("zRepNumber", FormatNumber0000(fZRepNumber));
  info.AppendAttribute("recNumber", FormatNumber0000(fNRecNumber));
  info.AppendAttribute("dateTime", FiscalDateTime(Now()));
  info.AppendAttribute("recAmount", FormatFiscal(fTotalAmount));
  info.AppendAttribute("recVAT", vatTotal);
  info.AppendAttribute("doctype", aDocType);
  info.AppendAttribute("cashAmount", FormatFiscal(payments.cash));
  info.AppendAttribute("checkAmount", FormatFiscal(payments.check));
  info.AppendAttribute("ePayAmount", FormatFiscal(payments.ePay));
  info.AppendAttribute("noPayAmount", "0");
  info.AppendAttribute("changeAmount", FormatFiscal(change));
  info.AppendAttribute("paidAmount", FormatFiscal(paid));
  info.AppendAttribute("ticketAmount", FormatFiscal(payments.ticket));
  info.AppendAttribute("ticketNum", FormatFiscal(payments.ticketNum));
  info.AppendAttribute("roundingDown", "0");
  info.AppendAttribute("roundingUp", "0");
  info.AppendAttribute("discountPayment", FormatFiscal(payments.discount));
  info.AppendAttribute("noPayAmountGoods", FormatFiscal(payments.noPayGoods));
  info.AppendAttribute("noPayAmountServices", FormatFiscal(payments.noPayServices));
  info.AppendAttribute("noPayAmountInvoices", FormatFiscal(payments.noPayInvoices));
  info.AppendAttribute("noPayAmountSSN", FormatFiscal(payments.noPaySSN));

  // The back link to the previous receipt, first in the receipt element.
  XmlElement link =
      host.receipt.InsertChildBefore("hash", XmlElement(host.receipt.Native().first_child()));
  link.SetAttribute("fingerPrint", fTokenId);

  AddReceiptSecurity();
  fDailyAmount = dailyAmount;
}

}  // namespace qx
